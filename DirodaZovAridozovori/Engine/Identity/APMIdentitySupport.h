#pragma once
// What the identity needs of the platform's tracking and advertising services.

#include <cstdint>
#include <optional>
#include <string>

class APMIdentitySupport {
 public:
  virtual ~APMIdentitySupport() = default;
  // The platform can report a tracking-authorisation status.
  virtual bool hasAppDataConsentStatus() = 0;
  // The platform's tracking-authorisation status (0 not determined, 1 restricted, 2 denied,
  // 3 authorised), or -1 when it cannot answer.
  virtual int64_t appDataConsentStatus() = 0;
  // The platform's advertising-identifier service is present.
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  // The advertising identifier in clear (a UUID string), or none.
  virtual std::optional<std::string> resettableDeviceID() = 0;
};

// The advertising identifier the platform hands out while tracking is not allowed.
inline constexpr const char* kAPMZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";
