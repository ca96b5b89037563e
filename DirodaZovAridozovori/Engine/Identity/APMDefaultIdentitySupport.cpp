#include "APMDefaultIdentitySupport.h"

#include <any>

#include "APMIdentityLog.h"
#include "APMPlatformIdentitySupport.h"
#include "platform/ClassRegistry.h"
#include "platform/Semaphore.h"

namespace {

constexpr const char* kSupportDocumentationLink = "https://developers.diroda.com/measurement/identity-support";

std::mutex sharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by sharedMutex.
std::shared_ptr<APMDefaultIdentitySupport>& sharedSupport() {
  static auto& instance = *new std::shared_ptr<APMDefaultIdentitySupport>;
  return instance;
}

std::shared_ptr<APMIdentitySupport> lookUpPlatformSupport() {
  std::any product = platform::ClassRegistry::create(APMPlatformIdentitySupport::kClassName);
  if (auto* support = std::any_cast<std::shared_ptr<APMIdentitySupport>>(&product)) return *support;
  return nullptr;
}

}  // namespace

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  auto& instance = sharedSupport();
  if (!instance) instance = std::make_shared<APMDefaultIdentitySupport>();
  return instance;
}

void APMDefaultIdentitySupport::resetSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  sharedSupport().reset();
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport()
    : platform_(lookUpPlatformSupport()),
      queue_(platform::DispatchQueue::create(kQueueLabel)),
      kept_(std::make_shared<KeptDeviceID>()) {
  if (!platform_) {
    APMLog(APMLogLevel::kWarningSampled, APMIdentityLogCode::kIdentitySupportNotLinked,
           "DirodaZovAridozovoriIdentitySupport dependency is not currently linked. IDFA will not be "
           "accessible.");
    return;
  }
  APMLog(APMLogLevel::kDebug, APMIdentityLogCode::kIdentitySupportLinked,
         "DirodaZovAridozovoriIdentitySupport dependency is linked.");
  if (platform_->hasLimitedAdTracking()) {
    APMLog(APMLogLevel::kDebug, APMIdentityLogCode::kAdSupportFrameworkLinked, "The AdSupport Framework is linked.");
  } else {
    APMLog(APMLogLevel::kWarningSampled, APMIdentityLogCode::kAdSupportFrameworkNotCurrentlyLinked,
           std::string("The AdSupport Framework is not currently linked. Some features will not function "
                       "properly. Learn more at ") +
               kSupportDocumentationLink);
  }
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return platform_ && platform_->hasAppDataConsentStatus();
}

int64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  return platform_ ? platform_->appDataConsentStatus() : -1;
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() { return platform_ && platform_->hasLimitedAdTracking(); }

bool APMDefaultIdentitySupport::limitedAdTracking() {
  std::optional<std::string> deviceID = resettableDeviceID();
  return !deviceID || *deviceID == kAPMZeroResettableDeviceID;
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!platform_) return std::nullopt;
  auto answered = std::make_shared<platform::Semaphore>();
  queue_->async([platform = platform_, kept = kept_, answered] {
    std::optional<std::string> value = platform->resettableDeviceID();
    {
      std::lock_guard<std::mutex> lock(kept->mutex);
      kept->value = std::move(value);
    }
    answered->signal();
  });
  answered->wait(kDeviceIDWaitSeconds);
  std::lock_guard<std::mutex> lock(kept_->mutex);
  return kept_->value;
}
