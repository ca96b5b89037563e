#include "APMAnalyticsConsent.h"

#include <algorithm>

#include "APMAnalytics.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsSuite.h"
#include "APMEngineRegistry.h"
#include "APMAnalyticsSupport.h"
#include "APMAnalyticsUserProperties.h"
#include "APMUserDefaults.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Consent/APMConsentVocabulary.h"
#include "RemoteConfig/APMRemoteConfig.h"

using apmfront::dictionaryOrEmpty;

void APMAnalyticsConsent::setConsent(const platform::Dictionary& settings) {
  setConsent(settings, kConsentSettingsKey);
}

void APMAnalyticsConsent::setConsent(const platform::Dictionary& input, const std::string& key) {
  if (APMConsentSettingsUtil::consentSource() == APMConsentVocabulary::kSourceNone) loadPersistedConsentSettings();
  platform::Dictionary settings = APMConsentSettingsUtil::consentSettingsFromDictionary(input);
  for (auto it = settings.begin(); it != settings.end();) {
    const auto* value = it->second.asString();
    if (value && (*value == APMConsentVocabulary::kGranted || *value == APMConsentVocabulary::kDenied)) {
      ++it;
      continue;
    }
    APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kValidConsentValuesGrantedDenied,
           "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
           it->second.description());
    it = settings.erase(it);
  }
  if (settings.empty()) {
    APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kDiscardingEmptyConsentSettings,
           "Discarding empty consent settings");
    return;
  }
  int64_t source = key == kConsentSettingsTCFKey  ? APMConsentVocabulary::kSourceTCF
                   : key == kConsentSettings3PKey ? APMConsentVocabulary::kSourcePublicAPI
                                                  : APMConsentVocabulary::kSourceFront;
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kIgnoringLowerPriorityConsentSettings,
           "Ignoring lower priority consent settings");
    return;
  }
  bool adUserDataWasDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  APMConsentSettingsUtil::updateSettings(settings, source);
  persistConsentSettings(dictionaryOrEmpty(APMConsentSettingsUtil::consentSettings()), source);
  if (key == kConsentSettings3PKey)
    APMLog(APMLogLevel::kVerbose, APMAnalyticsLogCode::kConsentState, "Consent state",
           APMConsentSettingsUtil::description());
  auto remoteConfig = APMEngineRegistry::remoteConfig();
  if (remoteConfig && !remoteConfig->consent().consentDefaults().empty() &&
      APMConsentSettingsUtil::didAdUserDataConsentChange(adUserDataWasDenied)) {
    APMAnalytics::logInternalEventWithOrigin(APMAnalytics::kOriginAuto, "_dcu",
                                             platform::Dictionary{{"_r", platform::Object(1)}});
  }
  if (platform::find(settings, APMConsentVocabulary::kAdPersonalization)) {
    if (auto adPersonalization = APMConsentSettingsUtil::adPersonalization()) {
      APMAnalyticsUserProperties::setUserPropertyString(platform::Object(*adPersonalization == 1 ? "YES" : "NO"),
                                          APMAnalyticsUserProperties::kAllowPersonalizedAdsName);
    }
  }
}

void APMAnalyticsConsent::persistConsentSettings(const platform::Dictionary& settings, int64_t source) {
  auto& defaults = APMAnalyticsSuite::userDefaults();
  const char* key = source == APMConsentVocabulary::kSourceTCF ? kConsentSettingsTCFKey
                    : source <= APMConsentVocabulary::kSourceInfoPlist ? kConsentSettings3PKey
                                                                       : kConsentSettingsKey;
  defaults.setObject(platform::Object(settings), key);
  defaults.setInteger(source, kConsentSourceKey);
  // On disk before anything else happens: a process that dies now must not start the next time
  // under the consent the user just withdrew.
  defaults.synchronize();
}

int64_t APMAnalyticsConsent::persistedConsentSource() {
  auto stored = APMAnalyticsSuite::userDefaults().numberForKey(kConsentSourceKey);
  return stored ? stored->integerValue() : APMConsentVocabulary::kSourceNone;
}

void APMAnalyticsConsent::loadPersistedConsentSettings() {
  int64_t source = persistedConsentSource();
  if (source == APMConsentVocabulary::kSourceNone) return;
  auto& defaults = APMAnalyticsSuite::userDefaults();
  struct Stored {
    const char* key;
    int64_t ceiling;
  };
  for (const Stored& stored : {Stored{kConsentSettingsTCFKey, APMConsentVocabulary::kSourceTCF},
                               Stored{kConsentSettings3PKey, APMConsentVocabulary::kSourceInfoPlist},
                               Stored{kConsentSettingsKey, APMConsentVocabulary::kSourceOnStart}}) {
    auto settings = defaults.dictionaryForKey(stored.key);
    if (!settings) continue;
    APMConsentSettingsUtil::setConsentSettings(*settings);
    APMConsentSettingsUtil::setConsentSource(std::min(source, stored.ceiling));
    return;
  }
  APMConsentSettingsUtil::setConsentSource(source);
}

void APMAnalyticsConsent::clearConsent() {
  auto& defaults = APMAnalyticsSuite::userDefaults();
  for (const char* key : {kConsentSourceKey, kConsentSettings3PKey, kConsentSettingsKey, kConsentSettingsOnStartKey,
                          kDeferredConsentResetKey, kConsentSettingsTCFKey}) {
    defaults.removeObjectForKey(key);
  }
  defaults.synchronize();
  APMConsentSettingsUtil::clearAllSettings();
}

platform::Dictionary APMAnalyticsConsent::consentSettingsTCF() {
  return dictionaryOrEmpty(APMAnalyticsSuite::userDefaults().dictionaryForKey(kConsentSettingsTCFKey));
}
platform::Dictionary APMAnalyticsConsent::consentSettings3P() {
  return dictionaryOrEmpty(APMAnalyticsSuite::userDefaults().dictionaryForKey(kConsentSettings3PKey));
}
platform::Dictionary APMAnalyticsConsent::consentSettings1P() {
  return dictionaryOrEmpty(APMAnalyticsSuite::userDefaults().dictionaryForKey(kConsentSettingsKey));
}
platform::Dictionary APMAnalyticsConsent::consentSettings1PStart() {
  return dictionaryOrEmpty(APMAnalyticsSuite::userDefaults().dictionaryForKey(kConsentSettingsOnStartKey));
}
platform::Object APMAnalyticsConsent::deferredResetOnDeniedConsent() {
  return APMAnalyticsSuite::userDefaults().objectForKey(kDeferredConsentResetKey);
}
void APMAnalyticsConsent::removeStartUpConsentSettings() {
  APMAnalyticsSuite::userDefaults().removeObjectForKey(kConsentSettingsOnStartKey);
}
void APMAnalyticsConsent::removeDeferredResetOnDeniedConsent() {
  APMAnalyticsSuite::userDefaults().removeObjectForKey(kDeferredConsentResetKey);
}
