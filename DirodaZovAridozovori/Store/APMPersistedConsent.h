#pragma once
// What the host and the user allowed, as last set: collection on or off, personalized ads, and the
// consent signals the last bundle carried (a bundle tells the service when they change).

#include "APMPersistedValues.h"

class APMPersistedConsent : public APMPersistedValues {
 public:
  explicit APMPersistedConsent(std::shared_ptr<platform::UserDefaults> store) : APMPersistedValues(std::move(store)) {}

  // 1 enabled, 2 disabled, 0 unset.
  int64_t measurementEnabledState() const { return integerValue("measurement_enabled_state").value_or(0); }
  void setMeasurementEnabledState(std::optional<int64_t> v) { set("measurement_enabled_state", v); }
  std::optional<bool> allowPersonalizedAds() const { return boolValue("allow_personalized_ads"); }
  void setAllowPersonalizedAds(std::optional<bool> v) { set("allow_personalized_ads", v); }
  std::optional<std::string> previousBundledConsentSignals() const { return stringValue("previous_consent_signals"); }
  void setPreviousBundledConsentSignals(std::optional<std::string> v) { set("previous_consent_signals", v); }
};
