#include "APMStartUp.h"

#include <cstdlib>

#include "APMAnalyticsHooks.h"
#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMFileUtilities.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

namespace {

constexpr int64_t kMaxWipeRetries = 9;
constexpr int64_t kMillisecondsPerHour = 3600000;

}  // namespace

// MARK: - Before the database opens

bool APMStartUp::shouldWipeDataWithAppID(const std::string& appID,
                                             const std::optional<std::string>& /*appIDFromDMP*/,
                                             const std::optional<std::string>& persistedAppIDFromDMP) {
  auto hooks = APMAnalyticsHooksSnapshot();
  const int64_t retries = hooks->resetRetryCount ? hooks->resetRetryCount() : 0;
  if (retries >= 1 && retries <= kMaxWipeRetries) return true;
  if (appID.empty() || !persistedAppIDFromDMP || persistedAppIDFromDMP->empty()) return false;
  if (appID == *persistedAppIDFromDMP) return false;
  APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kAppIDChangedDataReset,
         "Analytics data will reset due to change in Diroda App ID. Original ID, new ID", *persistedAppIDFromDMP,
         appID);
  return true;
}

void APMStartUp::setProspectiveConsentSettings() {
  using Consent = APMConsentSettingsUtil;
  auto hooks = APMAnalyticsHooksSnapshot();
  const platform::Dictionary tcf = hooks->consentSettingsTCF ? hooks->consentSettingsTCF() : platform::Dictionary{};
  const platform::Dictionary plist = Consent::consentSettingsFromPlist();
  const platform::Dictionary publicCall =
      hooks->consentSettings3P ? hooks->consentSettings3P() : platform::Dictionary{};
  const platform::Dictionary onStart =
      hooks->consentSettings1PStart ? hooks->consentSettings1PStart() : platform::Dictionary{};
  const int64_t current = Consent::consentSource();

  platform::Dictionary chosen;
  int64_t source = Consent::kSourcePublicAPI;
  if (!tcf.empty() && Consent::isConsentSourceHigherPriority(Consent::kSourceTCF) &&
      (publicCall.empty() || current == Consent::kSourceTCF)) {
    chosen = tcf;
    source = Consent::kSourceTCF;
  } else if (!plist.empty() && Consent::isConsentSourceHigherPriority(Consent::kSourceInfoPlist)) {
    chosen = plist;
    source = Consent::kSourceInfoPlist;
  } else if (APMPublicAPIPresent() && (current == Consent::kSourceOnStart || current == Consent::kSourceFront)) {
    if (hooks->clearConsent) hooks->clearConsent();
    return;
  } else if (!onStart.empty() && Consent::isConsentSourceHigherPriority(Consent::kSourceOnStart)) {
    chosen = onStart;
    source = Consent::kSourceOnStart;
  } else {
    chosen = publicCall;
  }
  if (chosen.empty() || !Consent::isConsentSourceHigherPriority(source)) return;
  Consent::setConsentSettings(chosen);
  Consent::setConsentSource(source);
  if (hooks->persistConsentSettings) hooks->persistConsentSettings(chosen, source);
}

void APMStartUp::updatePersistedAppIDFromDMP() {
  if (!engine_.identity()) return;
  auto fromIdentity = engine_.identity()->providedIdentifiers().appIDFromDMP();
  auto origin = APMIdentifiers::sharedInstance()->origin();
  // Without an ID from the identity the engine's own ID is recorded, so a later change is seen.
  std::optional<std::string> wanted = fromIdentity && !fromIdentity->empty() ? fromIdentity : engine_.setup().appID;
  if (origin && *origin == "fa") wanted = engine_.setup().appID;
  if (engine_.setup().persistedConfig->appIDFromDMP() != wanted) engine_.setup().persistedConfig->setAppIDFromDMP(wanted);
  engine_.setup().persistedConfig->setAppIDFromZiRoz(std::nullopt);
}

// MARK: - Start-up reports

std::optional<bool> APMStartUp::storedUserPropertyExists(const std::string& name, APMLogCode errorCode,
                                                             const char* errorText) {
  platform::Error error;
  auto exists = engine_.database()->containsUserAttributeWithName(name, &error);
  if (!exists) {
    APMLog(APMLogLevel::kErrorSampled, errorCode, errorText, error);
    return std::nullopt;
  }
  return exists;
}

void APMStartUp::reportFirstOpenOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("reportFirstOpenOnWorkerQueue") || !engine_.database()) return;
  auto exists = storedUserPropertyExists("_fot", APMMeasurementLogCode::kFailedQueryFirstOpenProperty,
                                         "Failed to query first open property. Error");
  if (!exists) return;
  const int64_t previous = std::strtoll(previousFirstOpenCount().c_str(), nullptr, 10);
  const double initTimestamp = engine_.initTimestamp();

  if (*exists) {
    if (previous < 1) setPreviousFirstOpenCount("1");
    APMAnalyticsHooksSetDeferredCollection(std::nullopt);
    if (APMAnalyticsHooksIsAppActive()) engine_.sessions().reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
    engine_.setup().persistedConfig->setLoadTimestampValue(std::nullopt);
    return;
  }

  const bool fi = previous >= 1 ? true : isVersionSameAsOriginalVersion();
  const int64_t storedFirstOpenMs = engine_.setup().persistedConfig->firstOpenTimestampMilliseconds();
  const double fiTime = storedFirstOpenMs != 0 ? static_cast<double>(storedFirstOpenMs) / 1000.0 : initTimestamp;
  engine_.userProperties().setInternalUserPropertyOnWorkerQueue("_fi", APMValue(static_cast<int64_t>(fi ? 1 : 0)), fiTime);
  auto fiStored = storedUserPropertyExists("_fi", APMMeasurementLogCode::kFailedQueryFirstOpenAfterInstall,
                                           "Failed to query first open after install property after setting it. Error");
  if (!fiStored) return;
  if (!*fiStored) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedSetFirstOpenAfterInstall,
           "Failed to set first open after install property");
    return;
  }

  const int64_t firstOpenMs = APMMillisecondsFromSeconds(initTimestamp);
  engine_.userProperties().setInternalUserPropertyOnWorkerQueue("_fot", APMValue(timestampMillisRoundedUpToNextHour(firstOpenMs)),
                                       initTimestamp);
  auto fotStored = storedUserPropertyExists("_fot", APMMeasurementLogCode::kFailedQueryFirstOpenPropertyAfter,
                                            "Failed to query first open property after setting it. Error");
  if (!fotStored) return;
  if (!*fotStored) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedSetFirstOpenProperty,
           "Failed to set first open property");
    return;
  }

  platform::Dictionary parameters;
  if (previousDMPAppID_ && !previousDMPAppID_->empty()) parameters["_pdmp"] = *previousDMPAppID_;
  parameters["_pfo"] = static_cast<int64_t>(previous < 1 ? 0 : previous);
  parameters["_uwa"] = static_cast<int64_t>(fi ? 0 : 1);
  if (APMAnalyticsHooksDeferredCollection().value_or(false)) parameters["_dac"] = static_cast<int64_t>(1);
  const bool efficientEngagement = engine_.remoteConfigInstance()->features().efficientEngagementReportingEnabled();
  if (efficientEngagement) parameters["_et"] = static_cast<int64_t>(1);
  const platform::Dictionary screen = APMAnalyticsHooksScreenParameters();
  if (auto firstOpen = APMEvent::create("auto", false, "_f", initTimestamp, 0, parameters)) {
    if (!screen.empty()) firstOpen->addScreenParameters(screen);
    engine_.eventRoad().handleInternalEventOnWorkerQueue(firstOpen);
  }
  previousDMPAppID_.reset();
  APMAnalyticsHooksSetDeferredCollection(std::nullopt);
  engine_.setup().persistedConfig->setLoadTimestampValue(std::nullopt);
  if (APMAnalyticsHooksIsAppActive()) engine_.sessions().reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);

  if (!engine_.remoteConfigInstance()->features().redundantEngagementRemovalEnabled()) {
    platform::Dictionary engagement{{"_et", static_cast<int64_t>(1)}};
    if (efficientEngagement) engagement["_fr"] = static_cast<int64_t>(1);
    if (auto event = APMEvent::create("auto", false, "_e", initTimestamp, 0, engagement)) {
      if (!screen.empty()) event->addScreenParameters(screen);
      engine_.eventRoad().handleInternalEventOnWorkerQueue(event);
    }
  }
  engine_.setup().persistedConfig->setFirstOpenTimestampMilliseconds(firstOpenMs);
  // The first open is stored: its mark goes to disk now, or a process that dies within the
  // preferences' write delay would report a second first open at its next start.
  engine_.setup().persistedConfig->synchronizeToDisk();
  for (const auto& component : engine_.components().list()) component->firstOpenWasReported(firstOpenMs);
}

int64_t APMStartUp::timestampMillisRoundedUpToNextHour(int64_t milliseconds) {
  return (milliseconds / kMillisecondsPerHour) * kMillisecondsPerHour + kMillisecondsPerHour;
}

bool APMStartUp::isVersionSameAsOriginalVersion() const {
  // Where no store delivers a receipt, the running version is the one that was installed: a first
  // open must not read as the update of an older install.
  if (!APMAEU::appStoreRURL()) return true;
  for (const auto& component : engine_.components().list()) {
    if (auto answer = component->isVersionSameAsOriginalVersion()) return *answer;
  }
  return true;
}

void APMStartUp::reportAppUpdateOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("reportAppUpdateOnWorkerQueue") || !engine_.identity()) return;
  const std::string current = engine_.identity()->application().appVersion();
  const std::string stored = engine_.setup().persistedConfig->appVersion().value_or("");
  if (current == stored) return;
  engine_.setup().persistedConfig->setAppVersion(current);
  if (!stored.empty()) engine_.eventRoad().logInternalEvent("auto", "_au", {{"_pv", stored}});
}

void APMStartUp::reportOSUpdateOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("reportOSUpdateOnWorkerQueue")) return;
  const std::string current = APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  const std::string stored = engine_.setup().persistedConfig->osVersion().value_or("");
  if (current == stored) return;
  engine_.setup().persistedConfig->setOsVersion(current);
  if (!stored.empty()) engine_.eventRoad().logInternalEvent("auto", "_ou", {{"_po", stored}});
}

// MARK: - Kept from before

void APMStartUp::updateCachedAdCampaignInfoWithExistingZBRAIDProperty() {
  if (!engine_.database()) return;
  auto buffer = engine_.setup().persistedConfig->adCampaignInfoBuffer();
  if (buffer && !buffer->empty()) return;
  platform::Error error;
  auto zbraid = engine_.database()->userAttributeWithName("_zbraid", &error);
  if (!zbraid) return;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo();
  APMNanoSetInt64(*info, APMPBAdCampaignInfo::kEventTimestampMillis, APMMillisecondsFromSeconds(zbraid->lastSetTimestamp()));
  const APMValue& value = zbraid->value();
  APMNanoSetString(*info, APMPBAdCampaignInfo::kZbraid, value.isString() ? value.stringValue() : value.description());
  engine_.setup().persistedConfig->setAdCampaignInfoBuffer(info->protoBuffer());
}

void APMStartUp::backfillSessionNumber() {
  if (!engine_.database() || engine_.setup().persistedConfig->sessionNumber() != 0) return;
  platform::Error error;
  auto aggregates = engine_.database()->eventAggregatesWithName("_s", &error);
  if (!aggregates) {
    if (!error.empty())
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotQueryEventAggregates,
             "Unable to query event aggregates. Name, error", "_s", error);
    return;
  }
  engine_.setup().persistedConfig->setSessionNumber(aggregates->lifetimeCount());
}

// MARK: - Previous first-open count

std::string APMStartUp::previousFirstOpenCount() const {
  return std::to_string(engine_.setup().persistedConfig->previousFirstOpenCount().value_or(0));
}

void APMStartUp::setPreviousFirstOpenCount(const std::string& count) {
  engine_.setup().persistedConfig->setPreviousFirstOpenCount(std::strtoll(count.c_str(), nullptr, 10));
}

// MARK: - Wipe

bool APMStartUp::wipeoutAnalyticsDataAndResetComponents() {
  auto monitor = APMMonitor::shared();
  APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kResettingAppMeasurementData, "Resetting App Measurement data");
  for (const auto& component : engine_.components().list()) component->willWipeData();
  setPreviousDMPAppID(engine_.setup().persistedConfig->appIDFromDMP());
  engine_.setup().persistedConfig->clearValues();
  monitor->clearMonitoringData();
  if (APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }
  if (engine_.database()) {
    platform::Error error;
    if (!engine_.database()->reset(&error)) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedResetDatabase, "Failed to reset database",
             error);
      return false;
    }
    if (engine_.remoteConfigInstance()) engine_.remoteConfigInstance()->reset();
    engine_.sessions().createSessionReporterOnWorkerQueue();
    engine_.sessions().setSessionReportingEnabledOnWorkerQueue(engine_.collection().isEnabled());
  } else {
    platform::Error error;
    if (!APMDeleteFile(APMApplicationSupportPath(engine_.setup().databaseName), &error) && !error.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedDeleteOldDatabaseFile,
             "Failed to delete old database file. Error", error);
    }
  }
  if (engine_.identity()) {
    engine_.identity()->updateIdentifiersAndWait();
    engine_.identity()->ephemeralIdentifiers().resetEphemeralAppInstanceID();
    engine_.identity()->ephemeralIdentifiers().resetSessionStitchingToken();
  }
  return true;
}
