#pragma once
// The words of consent every reader and writer shares: the consent types, their values, the consent
// sources and how they rank, the per-type diagnostic codes, and the remote configuration's numbers
// for types and values. Pure: no state, no queue.

#include <cstdint>
#include <string>
#include <vector>

class APMConsentVocabulary {
 public:
  // Consent types, in the order the diagnostics string lists them.
  static constexpr const char* kAdStorage = "ad_storage";
  static constexpr const char* kAnalyticsStorage = "analytics_storage";
  static constexpr const char* kAdUserData = "ad_user_data";
  static constexpr const char* kAdPersonalization = "ad_personalization";
  // Consent values.
  static constexpr const char* kGranted = "granted";
  static constexpr const char* kDenied = "denied";
  // For "ad_user_data" and "ad_personalization": follow the regional default.
  static constexpr const char* kEUConsentPolicy = "eu_consent_policy";

  // Consent sources; a smaller number has the higher priority, and TCF and the public API rank equal.
  static constexpr int64_t kSourceTCF = 5;
  static constexpr int64_t kSourcePublicAPI = 10;
  static constexpr int64_t kSourceInfoPlist = 20;
  static constexpr int64_t kSourceFront = 30;
  static constexpr int64_t kSourceOnStart = 40;
  static constexpr int64_t kSourceNone = 100;

  // Per-type diagnostic codes: where a type's current value came from.
  static constexpr int64_t kDiagnosticNone = 0;
  static constexpr int64_t kDiagnosticFromDefaults = 1;
  static constexpr int64_t kDiagnosticDelegated = 2;
  static constexpr int64_t kDiagnosticFromInfoPlist = 3;
  static constexpr int64_t kDiagnosticFromSettingsOnStart = 4;
  // The app's own choice, through the public API or the engine front.
  static constexpr int64_t kDiagnosticFromApp = 5;
  static constexpr int64_t kDiagnosticFromTCF = 7;
  static constexpr int64_t kDiagnosticEUConsentPolicy = 8;
  static constexpr int64_t kDiagnosticNotSet = 9;

  static const std::vector<std::string>& consentTypes();

  static int64_t diagnosticCodeForConsentSource(int64_t source);
  // The remote configuration's enumerations: "" for unknown numbers.
  static std::string consentTypeFromConfigurationValue(int64_t value);
  static std::string consentValueFromConfigurationValue(int64_t value);
};
