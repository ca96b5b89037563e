#include "APMRemoteConfigMessage.h"

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfigMessage::remoteConfigProto() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return remoteConfigProto_;
}

void APMRemoteConfigMessage::setRemoteConfigProto(std::shared_ptr<APMPBMeasurementConfig> config) {
  std::lock_guard<std::mutex> lock(mutex_);
  remoteConfigProto_ = std::move(config);
}

int64_t APMRemoteConfigMessage::version() const {
  auto config = remoteConfigProto();
  if (!config || !APMNanoHasField(*config, APMPBMeasurementConfig::kVersion)) return -1;
  return APMNanoGetInt64(*config, APMPBMeasurementConfig::kVersion);
}

std::optional<std::string> APMRemoteConfigMessage::uploadSubdomain() const {
  auto config = remoteConfigProto();
  if (!config) return std::nullopt;
  return APMNanoGetString(*config, APMPBMeasurementConfig::kUploadSubdomain);
}
