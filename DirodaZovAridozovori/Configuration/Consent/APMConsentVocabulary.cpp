#include "APMConsentVocabulary.h"

const std::vector<std::string>& APMConsentVocabulary::consentTypes() {
  // Leaked on purpose: blocks queued on the consent queue before the host quits still walk the list
  // while the process tears down its statics.
  static const auto* types = new std::vector<std::string>{kAdStorage, kAnalyticsStorage, kAdUserData, kAdPersonalization};
  return *types;
}

int64_t APMConsentVocabulary::diagnosticCodeForConsentSource(int64_t source) {
  switch (source) {
    case kSourceTCF:
      return kDiagnosticFromTCF;
    case kSourcePublicAPI:
    case kSourceFront:
      return kDiagnosticFromApp;
    case kSourceInfoPlist:
      return kDiagnosticFromInfoPlist;
    case kSourceOnStart:
      return kDiagnosticFromSettingsOnStart;
    default:
      return kDiagnosticNone;
  }
}

std::string APMConsentVocabulary::consentTypeFromConfigurationValue(int64_t value) {
  switch (value) {
    case 1:
      return kAdStorage;
    case 2:
      return kAnalyticsStorage;
    case 3:
      return kAdUserData;
    case 4:
      return kAdPersonalization;
    default:
      return "";
  }
}

std::string APMConsentVocabulary::consentValueFromConfigurationValue(int64_t value) {
  switch (value) {
    case 1:
      return kGranted;
    case 2:
      return kDenied;
    default:
      return "";
  }
}
