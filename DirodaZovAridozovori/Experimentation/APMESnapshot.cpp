#include "APMESnapshot.h"

#include "APMEMonitor.h"
#include "APMNanoAccessors.h"
#include "platform/Clock.h"

std::shared_ptr<APMESnapshot> APMESnapshot::create(const std::optional<std::string>& SDKName,
                                                   const std::vector<std::shared_ptr<APMEExperiment>>& experiments) {
  if (!SDKName || SDKName->empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateSnapshotInvalidSDKName,
           "Cannot create snapshot with an invalid SDK name");
    return nullptr;
  }
  auto snapshot = std::make_shared<APMESnapshot>(*SDKName, platform::now());
  for (const auto& experiment : experiments) {
    if (!experiment) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateSnapshotInvalidExperiment,
             "Cannot create snapshot with an invalid experiment");
      return nullptr;
    }
    snapshot->experimentsByExperimentID_.insert_or_assign(experiment->experimentID(), experiment->copy());
  }
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMESnapshot::fromProto(const APMPBSnapshot& proto) {
  std::vector<std::shared_ptr<APMEExperiment>> experiments;
  auto messages = APMNanoGetRepeatedField<std::shared_ptr<APMPBExperiment>>(proto, APMPBSnapshot::kExperiments);
  if (messages) {
    for (const auto& message : *messages) {
      if (auto experiment = APMEExperiment::fromProto(*message)) experiments.push_back(std::move(experiment));
    }
  }
  return create(APMNanoGetString(proto, APMPBSnapshot::kSdkName), experiments);
}

std::vector<std::shared_ptr<APMEExperiment>> APMESnapshot::experiments() const {
  std::vector<std::shared_ptr<APMEExperiment>> result;
  result.reserve(experimentsByExperimentID_.size());
  for (const auto& [id, experiment] : experimentsByExperimentID_) result.push_back(experiment);
  return result;
}

std::shared_ptr<APMPBFlag> APMESnapshot::flagByName(const std::string& name) const {
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (auto flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<int64_t> experimentID) {
  if (!experimentID) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotAddFlagIntoEmptyExperiment,
           "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotAddInvalidFlagIntoSnapshot,
           "Cannot add an invalid flag into a snapshot");
    return;
  }
  auto& experiment = experimentsByExperimentID_[*experimentID];
  if (!experiment) experiment = std::make_shared<APMEExperiment>(*experimentID);
  experiment->addFlag(flag);
}

void APMESnapshot::addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags, std::optional<int64_t> experimentID) {
  for (const auto& flag : flags) addFlag(flag, experimentID);
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const { return create(SDKName_, experiments()); }

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto message = std::make_shared<APMPBSnapshot>();
  APMNanoSetString(*message, APMPBSnapshot::kSdkName, SDKName_);
  std::vector<std::shared_ptr<APMPBExperiment>> experimentMessages;
  experimentMessages.reserve(experimentsByExperimentID_.size());
  for (const auto& [id, experiment] : experimentsByExperimentID_) experimentMessages.push_back(experiment->proto());
  APMNanoSetRepeatedField(*message, APMPBSnapshot::kExperiments, experimentMessages);
  return message;
}

std::string APMESnapshot::description() const {
  std::string text = "{sdk = " + SDKName_ + "; timestamp = " + std::to_string(timestamp_) +
                     "; manuallyActivated = " + (manuallyActivated_ ? "YES" : "NO") + "; experiments = (";
  bool first = true;
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (!first) text += ", ";
    first = false;
    text += experiment->description();
  }
  return text + ")}";
}
