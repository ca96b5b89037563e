#include "APMRemoteConfigMessage.h"

#include <cmath>

#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMRemoteConfigLog.h"
#include "platform/Clock.h"

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

bool APMRemoteConfigMessage::isExpired() const {
  if (isDefaultInstance_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kNoLastUpdateTimestamp,
           "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  return std::fabs(platform::now() - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

double APMRemoteConfigMessage::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kNoDefaultInstanceUpdateTimestamp,
           "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  if (!database) return 0;
  platform::Error error;
  double timestamp = database->storedConfig().lastRemoteConfigUpdateTimestamp(&error);
  if (!error.empty()) {
    APMLog(APMLogLevel::kWarningSampled, APMRemoteConfigLogCode::kUpdateTimestampQueryFailed,
           "Failed to query last configuration update timestamp. Error", error);
    return 0;
  }
  return timestamp;
}
