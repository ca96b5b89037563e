#include "APMPlatformIdentitySupport.h"

#include <any>
#include <mutex>

#include "platform/ClassRegistry.h"

namespace {

std::mutex sharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by sharedMutex.
std::shared_ptr<APMPlatformIdentitySupport>& sharedSupport() {
  static auto& instance = *new std::shared_ptr<APMPlatformIdentitySupport>;
  return instance;
}

// The registered factory's product when it has the expected type; a product of another type
// counts as absent, as a class that does not answer the expected messages would.
template <typename Interface>
std::shared_ptr<Interface> lookUp(const std::string& className) {
  std::any product = platform::ClassRegistry::create(className);
  if (auto* typed = std::any_cast<std::shared_ptr<Interface>>(&product)) return *typed;
  return nullptr;
}

}  // namespace

std::shared_ptr<APMPlatformIdentitySupport> APMPlatformIdentitySupport::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  auto& instance = sharedSupport();
  if (!instance) instance = std::make_shared<APMPlatformIdentitySupport>();
  return instance;
}

void APMPlatformIdentitySupport::resetSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  sharedSupport().reset();
}

void APMPlatformIdentitySupport::registerClass() {
  platform::ClassRegistry::registerClass(kClassName, [] {
    return std::any(std::static_pointer_cast<APMIdentitySupport>(sharedInstance()));
  });
}

APMPlatformIdentitySupport::APMPlatformIdentitySupport()
    : trackingManager_(lookUp<APMTrackingManaging>(kTrackingManagerClassName)),
      advertisingManager_(lookUp<APMAdvertisingIdentifierManaging>(kIdentifierManagerClassName)) {}

bool APMPlatformIdentitySupport::hasAppDataConsentStatus() { return trackingManager_ != nullptr; }

int64_t APMPlatformIdentitySupport::appDataConsentStatus() {
  if (!trackingManager_) return -1;
  return trackingManager_->trackingAuthorizationStatus().value_or(-1);
}

bool APMPlatformIdentitySupport::hasLimitedAdTracking() { return advertisingManager_ != nullptr; }

bool APMPlatformIdentitySupport::limitedAdTracking() {
  if (!advertisingManager_) return false;
  std::optional<bool> enabled = advertisingManager_->isAdvertisingTrackingEnabled();
  return enabled.has_value() && !*enabled;
}

std::optional<std::string> APMPlatformIdentitySupport::resettableDeviceID() {
  if (!advertisingManager_) return std::nullopt;
  return advertisingManager_->advertisingIdentifier();
}
