#pragma once
// The process-wide consent state: which consent types are granted or denied, who set them (the
// consent source, which ranks the writers), and the defaults, delegations and regional defaults
// that the remote configuration supplies. Every read and write runs on one serial queue; writers
// queue their change and return, readers wait for every write queued before them. The types, values,
// sources and codes it speaks of are APMConsentVocabulary's.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMConsentVocabulary.h"
#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMConsentSettingsUtil {
 public:
  // The serial queue "APMConsentSettingsUtilQueue", created on first use.
  static const std::shared_ptr<platform::DispatchQueue>& serialQueue();

  // Readers (wait for earlier writes). Dictionaries are copies; none when unset.
  static std::optional<platform::Dictionary> consentSettings();
  static std::optional<platform::Dictionary> defaultSettings();
  static std::optional<platform::Dictionary> delegatedSettings();
  static std::optional<platform::Dictionary> regionalDefaults();
  static int64_t consentSource();
  static int64_t version();

  // Writers (queued; return at once).
  // None also puts the source back to "none" (100) and refreshes the diagnostics from it.
  static void setConsentSettings(std::optional<platform::Dictionary> settings);
  static void setConsentSource(int64_t source);
  static void setDefaultSettings(std::optional<platform::Dictionary> settings);
  static void setDelegatedSettings(std::optional<platform::Dictionary> settings);
  static void setRegionalDefaults(std::optional<platform::Dictionary> settings);
  // Only versions 1 and 2 exist; anything else is ignored.
  static void setVersion(int64_t version);
  // Merges settings over the current ones; source and diagnostics stay.
  static void updateSettings(platform::Dictionary settings);
  // Merges, takes the source, and gives each merged type that source's diagnostic code.
  static void updateSettings(platform::Dictionary settings, int64_t consentSource);
  static void setDiagnosticSource(int64_t code, const std::string& consentType);
  static void unsetAdPersonalization();
  // Back to source 100 with nothing set (the version stays).
  static void clearAllSettings();

  // Questions the engine asks (wait for earlier writes).
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  static bool isAdUserDataDenied();
  // 0 denied, 1 granted, none unknown.
  static std::optional<int64_t> adPersonalization();
  static bool didAdUserDataConsentChange(bool previouslyDenied);
  static bool isConsentSourceEqualPriority(int64_t source);
  // Whether settings from source may replace the current ones.
  static bool isConsentSourceHigherPriority(int64_t source);
  // "G1" and one character each for ad storage and analytics storage: 1 granted, 0 denied, - unknown.
  static std::string consentSignals();
  // "1" and one diagnostic digit per consent type.
  static std::string consentDiagnostics();
  static std::string description();

  // Pure helpers.
  static platform::Dictionary consentSettingsFromDictionary(const platform::Dictionary& dictionary);
  // Consent defaults declared in the main bundle's Info.plist.
  static platform::Dictionary consentSettingsFromPlist();
  static platform::Dictionary consentSettingsFromInfoDictionary(const platform::Dictionary& info);

  // Back to the state of a fresh process (tests).
  static void reset();
};
