#pragma once
// The identity support backed by the platform's tracking and advertising classes, which are looked
// up by name in platform::ClassRegistry ("ATTrackingManager", "ASIdentifierManager"). Neither is
// registered by default; a host that has them registers factories returning the interfaces below.
// This support is itself found by name ("APMPlatformIdentitySupport") by the default support, so
// a host opts in with registerClass().

#include <memory>
#include <optional>
#include <string>

#include "APMIdentitySupport.h"

// What the factory of "ATTrackingManager" returns, as std::shared_ptr<APMTrackingManaging>.
class APMTrackingManaging {
 public:
  virtual ~APMTrackingManaging() = default;
  // The authorisation status, or none when it cannot be read.
  virtual std::optional<int64_t> trackingAuthorizationStatus() = 0;
};

// What the factory of "ASIdentifierManager" returns (its shared manager), as
// std::shared_ptr<APMAdvertisingIdentifierManaging>.
class APMAdvertisingIdentifierManaging {
 public:
  virtual ~APMAdvertisingIdentifierManaging() = default;
  // Whether the user allows advertising tracking, or none when it cannot be read.
  virtual std::optional<bool> isAdvertisingTrackingEnabled() = 0;
  // The advertising identifier as a UUID string, or none.
  virtual std::optional<std::string> advertisingIdentifier() = 0;
};

class APMPlatformIdentitySupport final : public APMIdentitySupport {
 public:
  static constexpr const char* kClassName = "APMPlatformIdentitySupport";
  static constexpr const char* kTrackingManagerClassName = "ATTrackingManager";
  static constexpr const char* kIdentifierManagerClassName = "ASIdentifierManager";

  // The one instance, created on first use from the classes registered at that moment.
  static std::shared_ptr<APMPlatformIdentitySupport> sharedInstance();
  // Forgets the shared instance (tests).
  static void resetSharedInstance();
  // Registers "APMPlatformIdentitySupport" in the class registry, its factory returning the
  // shared instance as std::shared_ptr<APMIdentitySupport>.
  static void registerClass();

  APMPlatformIdentitySupport();

  // YES when the advertising manager was found.
  bool hasAdvertisingManager() const { return advertisingManager_ != nullptr; }

  bool hasAppDataConsentStatus() override;
  int64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  bool limitedAdTracking() override;
  std::optional<std::string> resettableDeviceID() override;

 private:
  std::shared_ptr<APMTrackingManaging> trackingManager_;
  std::shared_ptr<APMAdvertisingIdentifierManaging> advertisingManager_;
};
