#pragma once
// Consent at the front: the settings a host, the TCF client or the start options give, checked and
// ranked by source, persisted in the front's suite (APMAnalyticsSuite) so the next start begins
// under them, and read back by the engine at its start.
#include <cstdint>
#include <string>

#include "platform/Object.h"

class APMAnalyticsConsent {
 public:
  // Keys of the suite.
  static constexpr const char* kConsentSettingsKey = "consent_settings";
  static constexpr const char* kConsentSettings3PKey = "consent_settings_3p";
  static constexpr const char* kConsentSettingsTCFKey = "consent_settings_tcf";
  static constexpr const char* kConsentSettingsOnStartKey = "consent_settings_on_start";
  static constexpr const char* kConsentSourceKey = "consent_source";
  static constexpr const char* kDeferredConsentResetKey = "deferred_consent_reset";

  static void setConsent(const platform::Dictionary& settings);
  // key: the suite key that names the source (kConsentSettingsTCFKey, kConsentSettings3PKey, or
  // any other for the front's own).
  static void setConsent(const platform::Dictionary& settings, const std::string& key);
  static void persistConsentSettings(const platform::Dictionary& settings, int64_t source);
  static int64_t persistedConsentSource();
  static void loadPersistedConsentSettings();
  static void clearConsent();

  // Read by the engine at its start.
  static platform::Dictionary consentSettingsTCF();
  static platform::Dictionary consentSettings3P();
  static platform::Dictionary consentSettings1P();
  static platform::Dictionary consentSettings1PStart();
  static platform::Object deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();

 private:
  APMAnalyticsConsent() = delete;
};
