#pragma once
// An identity's advertising-identifier state as its last refresh left it (the tracking-authorisation
// status, the limited-ad-tracking flag, the advertising identifier) and the refresh that renews it,
// which also renews the app instance ID when the user reset the advertising identifier. Confined to
// the identity's worker queue; the identity owns it and reads it there.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMIdentityEnvironment.h"
#include "APMIdentityPersistence.h"

class APMAdvertisingIdentifiers {
 public:
  // environment must outlive this (the identity holds both).
  APMAdvertisingIdentifiers(std::shared_ptr<APMIdentityPersistence> persistence, const APMIdentityEnvironment& environment);

  // At most once per cache time, unless consent to keep the identifier was withdrawn since.
  void updateIdentifiersOnWorkerQueue();

  int64_t appleConsentStatus() const { return appleConsentStatus_; }
  bool limitedAdTracking() const { return limitedAdTracking_; }
  const std::optional<std::string>& resettableDeviceID() const { return resettableDeviceID_; }

 private:
  const std::shared_ptr<APMIdentityPersistence> persistence_;
  const APMIdentityEnvironment& environment_;
  std::optional<double> lastUpdate_;
  int64_t appleConsentStatus_;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
};
