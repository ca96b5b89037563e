#include "APMEExperimentReply.h"

#include "APMEMonitor.h"
#include "APMNanoAccessors.h"

std::optional<APMESnapshots> APMEExperimentReply::experimentSnapshotsFromExperimentResponse(
    const std::shared_ptr<APMPBExperimentResponse>& response) {
  if (!response) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateExperimentSnapshotsNilResponse,
           "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  auto messages = APMNanoGetRepeatedField<std::shared_ptr<APMPBSnapshot>>(*response, APMPBExperimentResponse::kSnapshots)
                      .value_or(std::vector<std::shared_ptr<APMPBSnapshot>>{});
  if (messages.empty()) {
    auto SDKResponses =
        APMNanoGetRepeatedField<std::shared_ptr<APMPBSdkResponse>>(*response, APMPBExperimentResponse::kSdkResponses);
    for (const auto& SDKResponse : SDKResponses.value_or(std::vector<std::shared_ptr<APMPBSdkResponse>>{})) {
      auto snapshot = APMNanoGetMessage<APMPBSnapshot>(*SDKResponse, APMPBSdkResponse::kSnapshot);
      if (!snapshot) continue;
      auto name = APMNanoGetString(*SDKResponse, APMPBSdkResponse::kSdkName);
      if (name && !name->empty()) APMNanoSetString(*snapshot, APMPBSnapshot::kSdkName, name);
      messages.push_back(std::move(snapshot));
    }
  }
  APMESnapshots snapshots;
  for (const auto& message : messages) {
    auto snapshot = APMESnapshot::fromProto(*message);
    if (!snapshot) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateSnapshotProto,
             "Cannot create a snapshot from the proto");
      continue;
    }
    snapshots.push_back(std::move(snapshot));
  }
  return snapshots;
}

std::optional<APMEFetchErrors> APMEExperimentReply::errorsFromExperimentResponse(
    const std::shared_ptr<APMPBExperimentResponse>& response) {
  if (!response) return std::nullopt;
  auto SDKResponses =
      APMNanoGetRepeatedField<std::shared_ptr<APMPBSdkResponse>>(*response, APMPBExperimentResponse::kSdkResponses);
  if (!SDKResponses || SDKResponses->empty()) return std::nullopt;
  APMEFetchErrors errors;
  for (const auto& SDKResponse : *SDKResponses) {
    const int64_t status = APMNanoGetInt32(*SDKResponse, APMPBSdkResponse::kStatus);
    auto name = APMNanoGetString(*SDKResponse, APMPBSdkResponse::kSdkName);
    if (status == 0 || !name || name->empty()) continue;
    const int64_t code = status >= 1 && status <= 3 ? -(status + 1) : -1;
    errors.insert_or_assign(*name, platform::Error(kErrorDomain, code));
  }
  return errors;
}

std::optional<APMESnapshots> APMEExperimentReply::experimentSnapshotsFromData(const platform::Data& data) {
  if (data.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateExperimentSnapshotsEmptyData,
           "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  return experimentSnapshotsFromExperimentResponse(APMPBExperimentResponse::fromBuffer(data));
}
