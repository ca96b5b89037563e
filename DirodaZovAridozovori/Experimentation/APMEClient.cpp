#include "APMEClient.h"

#include "APMEFlags.h"
#include "APMEManager.h"
#include "APMEMonitor.h"

namespace {
constexpr int64_t kStaleStatus = 1;
}  // namespace

std::shared_ptr<APMEClient> APMEClient::create(std::shared_ptr<APMESDKProperty> property,
                                               std::optional<std::vector<std::shared_ptr<APMPBFlag>>> defaultFlags,
                                               std::weak_ptr<APMEManager> manager) {
  if (!property) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotInitializeClientNilProperty,
           "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotInitializeClientNilDefaultFlags,
           "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::make_shared<APMEClient>(std::move(property), std::move(*defaultFlags), std::move(manager));
}

std::optional<platform::Object> APMEClient::valueForFlag(const std::string& flagName) const {
  if (flagName.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotGetValueEmptyFlagName, "Cannot get value for empty flag name");
    return std::nullopt;
  }
  auto manager = manager_.lock();
  if (!manager) return std::nullopt;
  return manager->flagValueForFlagName(flagName, SDKName());
}

std::optional<platform::Object> APMEClient::objectForKeyedSubscript(const platform::Object& key) const {
  if (!key.isString()) {
    APMLog(APMLogLevel::kError, APMELogCode::kClientFlagNameInvalid, "Cannot get flag value of an invalid flag name",
           key);
    return std::nullopt;
  }
  return valueForFlag(key.stringValue());
}

bool APMEClient::activateLatestSnapshot(platform::Error* error) const {
  auto manager = manager_.lock();
  if (!manager) return false;
  return manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() const {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == kStaleStatus;
}

void APMEClient::resetToDefaults() const {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::shared_ptr<APMEClientDelegate> APMEClient::delegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEClientDelegate> delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  delegate_ = std::move(delegate);
}
