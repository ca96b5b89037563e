#include "APMAdvertisingIdentifiers.h"

#include "APMDefaultIdentitySupport.h"
#include "APMIdentity.h"
#include "DirodaZovAridozovori/Core/Utilities/APMStringBits.h"
#include "platform/Clock.h"

namespace {

bool isUsableDeviceID(const std::optional<std::string>& deviceID) {
  return deviceID && !deviceID->empty() && *deviceID != kAPMZeroResettableDeviceID;
}

}  // namespace

APMAdvertisingIdentifiers::APMAdvertisingIdentifiers(std::shared_ptr<APMIdentityPersistence> persistence,
                                                     const APMIdentityEnvironment& environment)
    : persistence_(std::move(persistence)),
      environment_(environment),
      appleConsentStatus_(APMIdentity::kConsentStatusUnsupported) {}

void APMAdvertisingIdentifiers::updateIdentifiersOnWorkerQueue() {
  const double now = platform::now();
  std::optional<std::string> appInstanceID = persistence_->appInstanceID();
  // Withdrawn ad-storage consent must drop a kept advertising identifier at once, not once the
  // cache time has run out.
  const bool keptDeviceIDNowDenied = resettableDeviceID_ && environment_.isAdStorageDenied();
  if (!keptDeviceIDNowDenied && appInstanceID && lastUpdate_ && *lastUpdate_ <= now &&
      now - *lastUpdate_ < environment_.adIDCacheTime()) {
    return;
  }

  bool save = !appInstanceID;
  std::optional<std::string> hash = persistence_->hashedResettableDeviceID();
  std::optional<std::string> deviceID = resettableDeviceID_;
  APMIdentitySupport& support = *environment_.support;

  int64_t status = APMIdentity::kConsentStatusUnsupported;
  if (support.hasLimitedAdTracking()) {
    status = support.hasAppDataConsentStatus() ? APMIdentity::consentStatusFromPlatformStatus(support.appDataConsentStatus())
                                               : APMIdentity::kConsentStatusUnknown;
  }

  // The support derives limited ad tracking from the advertising identifier itself, so it is asked
  // only where the identifier may be read; where it may not, no identifier is available to us,
  // which is what limited ad tracking means.
  bool limitedAdTracking = true;
  const bool adStorageDenied = environment_.isAdStorageDenied();
  if (adStorageDenied) {
    deviceID.reset();
  } else if (status == APMIdentity::kConsentStatusAuthorized || !environment_.gateIDFAOnATTMASEnabled()) {
    limitedAdTracking = support.limitedAdTracking();
    deviceID = support.resettableDeviceID();
  }

  if (isUsableDeviceID(deviceID)) {
    std::optional<std::string> deviceHash = apm_MD5String(*deviceID);
    if (deviceHash && deviceHash != hash) {
      if (hash && !hash->empty()) {
        // The user reset the advertising identifier: the instance ID must not link the two.
        appInstanceID = APMIdentity::randomAppInstanceID();
        persistence_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      hash = deviceHash;
      save = true;
    }
  } else {
    // The all-zero identifier (tracking not allowed) and an empty one are no identifier at all.
    deviceID.reset();
  }

  if (save) {
    if (!environment_.isAnalyticsStorageDenied()) {
      persistence_->setAppInstanceID(appInstanceID ? *appInstanceID : APMIdentity::randomAppInstanceID());
    }
    if (!adStorageDenied) persistence_->setHashedResettableDeviceID(hash);
  }

  lastUpdate_ = now;
  limitedAdTracking_ = limitedAdTracking;
  resettableDeviceID_ = deviceID;
  appleConsentStatus_ = status;
}
