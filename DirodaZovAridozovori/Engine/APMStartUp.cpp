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
#include "APMEngineRegistry.h"
#include "APMEventParameters.h"
#include "Front/APMBackwardCompatibilityUtil.h"
#include "Identity/APMIdentityEnvironment.h"
#include "Upload/APMEngineUploadRoad.h"
#include "platform/ClassRegistry.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Consent/APMConsentVocabulary.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "RemoteConfig/APMRemoteConfigEngineHooks.h"
#include "RemoteConfig/APMRemoteConfigSettings.h"
#include "platform/Clock.h"

namespace {

constexpr const char* kRemoteConfigSDKClassName = "DAVEzuzozAvuruv";
constexpr int64_t kMaxWipeRetries = 9;
constexpr int64_t kMillisecondsPerHour = 3600000;

}  // namespace

// MARK: - The start

bool APMStartUp::startMeasurementOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("startMeasurementOnWorkerQueue")) return false;
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      // The switch must read as on while the start-up reports are written.
      const bool wasEnabled = engine_.collection().exchangeEnabled(true);
      const bool ok = initializeComponentsOnWorkerQueue();
      engine_.collection().exchangeEnabled(wasEnabled);
      if (!ok) return false;
      didInitializeComponents_ = true;
    }
  }
  const bool wasEnabled = engine_.collection().exchangeEnabled(true);
  engine_.userProperties().setPersonalizedAdsUserPropertyOnWorkerQueue();
  auto hooks = APMAnalyticsHooksSnapshot();
  if (hooks->needFirstOpenAfterReset && hooks->needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    if (hooks->removeNeedFirstOpenAfterReset) hooks->removeNeedFirstOpenAfterReset();
  }
  engine_.collection().exchangeEnabled(wasEnabled);
  engine_.uploadRoad().updateSchedule();
  if (APMBackwardCompatibilityUtil::disableVIDUruzazezuve()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kVIDUruzazezuveDisabled,
           "VIDUruzazezuve has been disabled");
  }
  return true;
}

bool APMStartUp::initializeComponentsOnWorkerQueue() {
  auto monitor = APMMonitor::shared();
  auto hooks = APMAnalyticsHooksSnapshot();
  const APMEngineSetup& setup = engine_.setup();

  engine_.objects().setIdentity(APMIdentity::sharedInstance());
  const auto& identity = engine_.objects().identity();
  if (!identity) return false;

  setProspectiveConsentSettings();
  if (hooks->removeStartUpConsentSettings) hooks->removeStartUpConsentSettings();
  if (hooks->removeDeferredResetOnDeniedConsent) hooks->removeDeferredResetOnDeniedConsent();

  if (shouldWipeDataWithAppID(setup.appID, identity->providedIdentifiers().appIDFromDMP(), setup.persistedConfig->identifiers().appIDFromDMP())) {
    const int64_t retries = hooks->resetRetryCount ? hooks->resetRetryCount() : 0;
    if (hooks->setResetRetryCount) hooks->setResetRetryCount(retries + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      if (hooks->setResetRetryCount) hooks->setResetRetryCount(0);
    } else {
      APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kFailedWipeOutAnalyticsData,
             "Failed to wipe out Analytics data");
    }
  }

  identity->updateIdentifiers();
  if (hooks->appInstanceIDAfterReset) {
    auto afterReset = hooks->appInstanceIDAfterReset();
    if (afterReset && !afterReset->empty()) {
      identity->setAppInstanceID(*afterReset);
      if (hooks->removeAppInstanceIDAfterReset) hooks->removeAppInstanceIDAfterReset();
    }
  }
  updatePersistedAppIDFromDMP();

  std::shared_ptr<APMDatabase> database;
  for (int attempt = 0; attempt < 2 && !database; ++attempt) {
    platform::Error error;
    database = APMDatabase::create(setup.databaseName, setup.persistedConfig, setup.scheduler->workerQueue(), &error);
  }
  if (!database) return false;

  std::weak_ptr<APMMeasurement> weakSelf = engine_.weak_from_this();
  const std::function<std::shared_ptr<APMRemoteConfig>()> servedConfig = [weakSelf]() -> std::shared_ptr<APMRemoteConfig> {
    auto self = weakSelf.lock();
    return self ? self->objects().publishedRemoteConfig() : nullptr;
  };
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient;
  for (const auto& component : engine_.components().list()) {
    experimentClient = component->experimentClientForRemoteConfig(servedConfig);
    if (experimentClient) break;
  }
  auto config = APMRemoteConfig::create(setup.appID, database, setup.persistedConfig, std::move(experimentClient));
  if (!config) return false;
  for (const auto& component : engine_.components().list()) {
    if (!component->startUpDidOpenDatabase(database)) return false;
  }

  std::weak_ptr<APMRemoteConfig> weakConfig = config;
  database->setLimitsProvider([weakConfig] {
    APMDatabaseLimits limits;
    if (auto strong = weakConfig.lock()) {
      limits.maxEventsStored = strong->eventLimits().maxEventsStored();
      limits.maxQueueTime = strong->uploadLimits().maxQueueTime();
    }
    return limits;
  });
  // Events are cleaned on the caller's thread as well as on the worker: both follow the limits the
  // service configured, and the defaults once this configuration is gone.
  static_assert(*APMSettings::kMaxPublicEventParameterValueLength.minValue ==
                    APMEventParameterLimits::kLowestPublicEventParameterValueLengthLimit,
                "a value that short is let through without reading the configured limit");
  APMSetEventParameterLimitsProvider([weakConfig] {
    APMEventParameterLimits limits;
    if (auto strong = weakConfig.lock()) {
      limits.maxPublicEventParams = strong->eventLimits().maxPublicEventParams();
      limits.maxPublicEventParameterValueLength = strong->eventLimits().maxPublicEventParameterValueLength();
      limits.maxItemScopedCustomParameters = strong->eventLimits().maxItemScopedCustomParameters();
    }
    return limits;
  });
  engine_.objects().publish(database, config);
  APMIdentitySetRemoteConfig(config);
  installRemoteConfigHooks();
  engine_.sessions().createSessionReporterOnWorkerQueue();

  platform::Error backupError;
  if (!APMExcludePathFromBackup(APMApplicationSupportPath(""), &backupError)) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMMeasurementLogCode::kFailedExcludeDirectoryBackup,
           "Failed to exclude directory from backup. Error", backupError);
  }
  APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsReadyReceiveEvents,
         "Analytics is ready to receive events");
  if (identity->application().isFromAppStore()) monitor->console().setEncodeContexts(true);

  platform::Error staleError;
  if (!database->maybeDeleteStaleData(&staleError) && !staleError.empty()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMMeasurementLogCode::kUnableDeleteStaleData,
           "Unable to delete stale data. Error", staleError);
  }
  engine_.userProperties().updateConsentSettingsUtilWithRemoteConfig();
  engine_.components().forEach([](APMEngineComponent& component) { component.startUpDidLoadConfiguration(); });
  updateCachedAdCampaignInfoWithExistingZBRAIDProperty();
  engine_.userProperties().setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();
  engine_.components().forEach([](APMEngineComponent& component) { component.startUpDidReportFirstOpen(); });
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  engine_.components().forEach([](APMEngineComponent& component) { component.startUpDidFinish(); });
  if (setup.persistedConfig->zoredodeFeatureRollouts() && !platform::ClassRegistry::exists(kRemoteConfigSDKClassName)) {
    setup.persistedConfig->setZoredodeFeatureRollouts(std::nullopt);
  }
  return true;
}

void APMStartUp::installRemoteConfigHooks() {
  std::weak_ptr<APMMeasurement> weakSelf = engine_.weak_from_this();
  // These run on any queue: they read the identity as published.
  auto identityOf = [](const std::weak_ptr<APMMeasurement>& weak) -> std::shared_ptr<APMIdentity> {
    auto self = weak.lock();
    if (!self) return nullptr;
    return self->objects().publishedIdentity();
  };
  APMRemoteConfigEngineHooks hooks;
  hooks.engineIsEnabled = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->collection().isEnabled();
  };
  hooks.appVersion = [weakSelf, identityOf]() -> std::optional<std::string> {
    auto identity = identityOf(weakSelf);
    if (!identity) return std::nullopt;
    return identity->application().appVersion();
  };
  hooks.appDataConsentStatus = [weakSelf, identityOf]() -> int64_t {
    auto identity = identityOf(weakSelf);
    return identity ? identity->appleConsentStatus() : APMIdentity::kConsentStatusUnsupported;
  };
  hooks.sstgPreviewHeaders = [] { return APMEngineRegistry::SSTGPreviewHeaders(); };
  APMRemoteConfigEngineHooks::setEngineHooks(std::move(hooks));
  APMIdentifiers::setEngineIdentityProvider([weakSelf, identityOf]() { return identityOf(weakSelf); });
}

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
  using Vocabulary = APMConsentVocabulary;
  auto hooks = APMAnalyticsHooksSnapshot();
  const platform::Dictionary tcf = hooks->consentSettingsTCF ? hooks->consentSettingsTCF() : platform::Dictionary{};
  const platform::Dictionary plist = Consent::consentSettingsFromPlist();
  const platform::Dictionary publicCall =
      hooks->consentSettings3P ? hooks->consentSettings3P() : platform::Dictionary{};
  const platform::Dictionary onStart =
      hooks->consentSettings1PStart ? hooks->consentSettings1PStart() : platform::Dictionary{};
  const int64_t current = Consent::consentSource();

  platform::Dictionary chosen;
  int64_t source = Vocabulary::kSourcePublicAPI;
  if (!tcf.empty() && Consent::isConsentSourceHigherPriority(Vocabulary::kSourceTCF) &&
      (publicCall.empty() || current == Vocabulary::kSourceTCF)) {
    chosen = tcf;
    source = Vocabulary::kSourceTCF;
  } else if (!plist.empty() && Consent::isConsentSourceHigherPriority(Vocabulary::kSourceInfoPlist)) {
    chosen = plist;
    source = Vocabulary::kSourceInfoPlist;
  } else if (APMPublicAPIPresent() && (current == Vocabulary::kSourceOnStart || current == Vocabulary::kSourceFront)) {
    if (hooks->clearConsent) hooks->clearConsent();
    return;
  } else if (!onStart.empty() && Consent::isConsentSourceHigherPriority(Vocabulary::kSourceOnStart)) {
    chosen = onStart;
    source = Vocabulary::kSourceOnStart;
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
  if (engine_.setup().persistedConfig->identifiers().appIDFromDMP() != wanted)
    engine_.setup().persistedConfig->identifiers().setAppIDFromDMP(wanted);
  engine_.setup().persistedConfig->identifiers().setAppIDFromZiRoz(std::nullopt);
}

// MARK: - Start-up reports

std::optional<bool> APMStartUp::storedUserPropertyExists(const std::string& name, APMLogCode errorCode,
                                                             const char* errorText) {
  platform::Error error;
  auto exists = engine_.database()->userProperties().containsUserAttributeWithName(name, &error);
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
    engine_.setup().persistedConfig->attribution().setLoadTimestampValue(std::nullopt);
    return;
  }

  const bool fi = previous >= 1 ? true : isVersionSameAsOriginalVersion();
  const int64_t storedFirstOpenMs = engine_.setup().persistedConfig->attribution().firstOpenTimestampMilliseconds();
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
  engine_.setup().persistedConfig->attribution().setLoadTimestampValue(std::nullopt);
  if (APMAnalyticsHooksIsAppActive()) engine_.sessions().reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);

  if (!engine_.remoteConfigInstance()->features().redundantEngagementRemovalEnabled()) {
    platform::Dictionary engagement{{"_et", static_cast<int64_t>(1)}};
    if (efficientEngagement) engagement["_fr"] = static_cast<int64_t>(1);
    if (auto event = APMEvent::create("auto", false, "_e", initTimestamp, 0, engagement)) {
      if (!screen.empty()) event->addScreenParameters(screen);
      engine_.eventRoad().handleInternalEventOnWorkerQueue(event);
    }
  }
  engine_.setup().persistedConfig->attribution().setFirstOpenTimestampMilliseconds(firstOpenMs);
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
  const std::string stored = engine_.setup().persistedConfig->identifiers().appVersion().value_or("");
  if (current == stored) return;
  engine_.setup().persistedConfig->identifiers().setAppVersion(current);
  if (!stored.empty()) engine_.eventRoad().logInternalEvent("auto", "_au", {{"_pv", stored}});
}

void APMStartUp::reportOSUpdateOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("reportOSUpdateOnWorkerQueue")) return;
  const std::string current = APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  const std::string stored = engine_.setup().persistedConfig->identifiers().osVersion().value_or("");
  if (current == stored) return;
  engine_.setup().persistedConfig->identifiers().setOsVersion(current);
  if (!stored.empty()) engine_.eventRoad().logInternalEvent("auto", "_ou", {{"_po", stored}});
}

// MARK: - Kept from before

void APMStartUp::updateCachedAdCampaignInfoWithExistingZBRAIDProperty() {
  if (!engine_.database()) return;
  auto buffer = engine_.setup().persistedConfig->attribution().adCampaignInfoBuffer();
  if (buffer && !buffer->empty()) return;
  platform::Error error;
  auto zbraid = engine_.database()->userProperties().userAttributeWithName("_zbraid", &error);
  if (!zbraid) return;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo();
  APMNanoSetInt64(*info, APMPBAdCampaignInfo::kEventTimestampMillis, APMMillisecondsFromSeconds(zbraid->lastSetTimestamp()));
  const APMValue& value = zbraid->value();
  APMNanoSetString(*info, APMPBAdCampaignInfo::kZbraid, value.isString() ? value.stringValue() : value.description());
  engine_.setup().persistedConfig->attribution().setAdCampaignInfoBuffer(info->protoBuffer());
}

void APMStartUp::backfillSessionNumber() {
  if (!engine_.database() || engine_.setup().persistedConfig->session().sessionNumber() != 0) return;
  platform::Error error;
  auto aggregates = engine_.database()->eventAggregates().eventAggregatesWithName("_s", &error);
  if (!aggregates) {
    if (!error.empty())
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotQueryEventAggregates,
             "Unable to query event aggregates. Name, error", "_s", error);
    return;
  }
  engine_.setup().persistedConfig->session().setSessionNumber(aggregates->lifetimeCount());
}

// MARK: - Previous first-open count

std::string APMStartUp::previousFirstOpenCount() const {
  return std::to_string(engine_.setup().persistedConfig->attribution().previousFirstOpenCount().value_or(0));
}

void APMStartUp::setPreviousFirstOpenCount(const std::string& count) {
  engine_.setup().persistedConfig->attribution().setPreviousFirstOpenCount(std::strtoll(count.c_str(), nullptr, 10));
}

// MARK: - Wipe

bool APMStartUp::wipeoutAnalyticsDataAndResetComponents() {
  auto monitor = APMMonitor::shared();
  APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kResettingAppMeasurementData, "Resetting App Measurement data");
  for (const auto& component : engine_.components().list()) component->willWipeData();
  setPreviousDMPAppID(engine_.setup().persistedConfig->identifiers().appIDFromDMP());
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
