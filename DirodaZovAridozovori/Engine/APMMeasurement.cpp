#include "APMMeasurement.h"

#include <cstdio>
#include <cstdlib>

#include "APMCollectionSwitch.h"
#include "APMDatabase.h"
#include "APMEngineComponents.h"
#include "APMEngineRegistry.h"
#include "APMEventParameters.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "Fetch/APMEngineFetch.h"
#include "APMEngineUserProperties.h"
#include "Upload/APMEngineUploadRoad.h"
#include "APMFileUtilities.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStartUp.h"
#include "APMStoreLog.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DeepLink/APMStoredDeepLink.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Front/APMBackwardCompatibilityUtil.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "Identity/APMIdentityEnvironment.h"
#include "MeasurementVersion.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kRemoteConfigSDKClassName = "DAVEzuzozAvuruv";

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

double hookLoadTimestamp(const APMAnalyticsHooks& hooks) {
  return hooks.loadTimestamp ? hooks.loadTimestamp() : platform::now();
}

}  // namespace

// MARK: - Creation

std::shared_ptr<APMMeasurement> APMMeasurement::create(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::vector<std::string>& safelistedEvents) {
  auto monitor = log();
  if (appID.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kEmptyAppID,
           "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  const bool publicAPI = APMPublicAPIPresent();
  APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsStarted,
         "Analytics v." + std::string(kMeasurementBuiltInVersionText) + " started");
  if (publicAPI)
    APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kBuildNumber,
           "Build " + std::to_string(kMeasurementLibraryVersion));

  const std::string prefix = publicAPI ? "DUDUravodazo" : "APMAnalytics";
  const std::string debugOn = "-" + prefix + "DebugEnabled";
  const std::string debugOff = "-no" + prefix + "DebugEnabled";
  const std::string verboseOn = "-" + prefix + "VerboseLoggingEnabled";
  const std::string verboseOff = "-" + prefix + "VerboseLoggingDisabled";
  const std::string help = " (see https://diroda.dev/analytics/debugging)";
  if (monitor->isDebugModeEnabled()) {
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kDebugLoggingHelp,
           "To disable debug logging set the following application argument: " + debugOff + help);
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kDebugLoggingEnabled, "Debug logging enabled");
  } else {
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kDebugLoggingHelp,
           "To enable debug logging set the following application argument: " + debugOn + help);
  }
  if (monitor->isVerboseLoggingEnabled()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kVerboseLoggingHelp,
           "To disable verbose logging set the following application argument: " + verboseOff + help);
  } else {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kVerboseLoggingHelp,
           "To enable verbose logging set the following application argument: " + verboseOn + help);
  }

  std::shared_ptr<VIZUzedaru> network;
  try {
    network = std::make_shared<VIZUzedaru>(APMRemoteConfig::analyticsServiceHost());
    network->setIsDebugModeEnabled(monitor->isDebugModeEnabled());
  } catch (const std::exception&) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedInitializeNetworkComponent,
           "Failed to initialize network component");
    network = nullptr;
  }
  auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kMeasurementWorkerQueueLabel);
  auto alarm = std::make_shared<APMAlarm>(scheduler->workerQueue(), APMEngineSetup::kAlarmName);
  return create({.appID = appID,
                 .databaseName = APMDatabase::kDatabaseName,
                 .persistedConfig = APMPersistedConfig::sharedInstance(),
                 .network = network,
                 .scheduler = scheduler,
                 .alarm = alarm,
                 .isAnalyticsCollectionEnabled = isAnalyticsCollectionEnabled,
                 .isAnalyticsCollectionDeactivated = isAnalyticsCollectionDeactivated,
                 .safelistedEvents = safelistedEvents});
}

std::shared_ptr<APMMeasurement> APMMeasurement::create(APMEngineSetup setup) {
  if (setup.appID.empty() || !setup.persistedConfig || !setup.scheduler) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kEmptyAppID,
           "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  if (!setup.alarm) setup.alarm = std::make_shared<APMAlarm>(setup.scheduler->workerQueue(), APMEngineSetup::kAlarmName);
  auto engine = std::make_shared<APMMeasurement>(Private{}, std::move(setup));
  engine->components_.attach(engine, APMMakeEngineComponents());
  // A launching link must be kept before the start-up looks for it.
  APMEngineRegistry::takeLaunches(*engine, false);
  engine->collection_->switchAtCreation();
  return engine;
}

APMMeasurement::APMMeasurement(Private, APMEngineSetup setup)
    : setup_(std::move(setup)),
      collection_(std::make_unique<APMCollectionSwitch>(*this)),
      eventRoad_(std::make_unique<APMEngineEventRoad>(*this)),
      startUp_(std::make_unique<APMStartUp>(*this)),
      sessions_(std::make_unique<APMEngineSessions>(*this)),
      uploadRoad_(std::make_unique<APMEngineUploadRoad>(*this)),
      fetch_(std::make_unique<APMEngineFetch>(*this)),
      userProperties_(std::make_unique<APMEngineUserProperties>(*this)) {
  if (auto stored = setup_.persistedConfig->loadTimestampValue()) {
    initTimestamp_ = *stored;
  } else {
    const double loaded = hookLoadTimestamp(*APMAnalyticsHooksSnapshot());
    initTimestamp_ = loaded;
    setup_.persistedConfig->setLoadTimestampValue(loaded);
  }
}

APMMeasurement::~APMMeasurement() = default;

// MARK: - Queue helpers

bool APMMeasurement::isOnWorkerQueue() const { return setup_.scheduler->workerQueue()->isCurrent(); }

bool APMMeasurement::checkWorkerQueue(const char* methodName) const {
  // The worker queue is never the main thread, so the main-thread report only matters off it.
  if (isOnWorkerQueue()) return true;
  APMScheduler::checkOnBackgroundThreadWithMethodName(methodName);
  APMLog(APMLogLevel::kError, APMMeasurementLogCode::kMethodMustCalledWorkerQueue,
         "Method must be called on the worker queue", std::string(methodName));
  return false;
}

bool APMMeasurement::shutDownForExit(double waitSeconds) {
  eventRoad_->stopForExit();
  const auto& worker = setup_.scheduler->workerQueue();
  if (!worker->stop(waitSeconds)) return false;
  // The queue has no thread any more: this runs here, as the worker queue.
  worker->sync([this] {
    setup_.alarm->cancel();
    setup_.persistedConfig->synchronizeToDisk();
    if (const auto& database = objects_.database()) database->close();
  });
  return true;
}

void APMMeasurement::scheduleOnWorkerQueueBlockID(const char* blockID, std::function<void()> block) {
  eventRoad_->submit(blockID, std::move(block));
}

// MARK: - Start-up

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  if (!checkWorkerQueue("startMeasurementOnWorkerQueue")) return false;
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      // The switch must read as on while the start-up reports are written.
      const bool wasEnabled = collection_->exchangeEnabled(true);
      const bool ok = initializeComponentsOnWorkerQueue();
      collection_->exchangeEnabled(wasEnabled);
      if (!ok) return false;
      didInitializeComponents_ = true;
    }
  }
  const bool wasEnabled = collection_->exchangeEnabled(true);
  userProperties_->setPersonalizedAdsUserPropertyOnWorkerQueue();
  auto hooks = APMAnalyticsHooksSnapshot();
  if (hooks->needFirstOpenAfterReset && hooks->needFirstOpenAfterReset()) {
    startUp_->reportFirstOpenOnWorkerQueue();
    if (hooks->removeNeedFirstOpenAfterReset) hooks->removeNeedFirstOpenAfterReset();
  }
  collection_->exchangeEnabled(wasEnabled);
  uploadRoad_->updateSchedule();
  if (APMBackwardCompatibilityUtil::disableVIDUruzazezuve()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kVIDUruzazezuveDisabled,
           "VIDUruzazezuve has been disabled");
  }
  return true;
}

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
  auto monitor = log();
  auto hooks = APMAnalyticsHooksSnapshot();

  objects_.setIdentity(APMIdentity::sharedInstance());
  const auto& identity = objects_.identity();
  if (!identity) return false;

  startUp_->setProspectiveConsentSettings();
  if (hooks->removeStartUpConsentSettings) hooks->removeStartUpConsentSettings();
  if (hooks->removeDeferredResetOnDeniedConsent) hooks->removeDeferredResetOnDeniedConsent();

  if (startUp_->shouldWipeDataWithAppID(setup_.appID, identity->providedIdentifiers().appIDFromDMP(), setup_.persistedConfig->appIDFromDMP())) {
    const int64_t retries = hooks->resetRetryCount ? hooks->resetRetryCount() : 0;
    if (hooks->setResetRetryCount) hooks->setResetRetryCount(retries + 1);
    if (startUp_->wipeoutAnalyticsDataAndResetComponents()) {
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
  startUp_->updatePersistedAppIDFromDMP();

  std::shared_ptr<APMDatabase> database;
  for (int attempt = 0; attempt < 2 && !database; ++attempt) {
    platform::Error error;
    database = APMDatabase::create(setup_.databaseName, setup_.persistedConfig, setup_.scheduler->workerQueue(), &error);
  }
  if (!database) return false;

  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  const std::function<std::shared_ptr<APMRemoteConfig>()> servedConfig = [weakSelf]() -> std::shared_ptr<APMRemoteConfig> {
    auto self = weakSelf.lock();
    return self ? self->publishedRemoteConfig() : nullptr;
  };
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient;
  for (const auto& component : components_.list()) {
    experimentClient = component->experimentClientForRemoteConfig(servedConfig);
    if (experimentClient) break;
  }
  auto config = APMRemoteConfig::create(setup_.appID, database, setup_.persistedConfig, std::move(experimentClient));
  if (!config) return false;
  for (const auto& component : components_.list()) {
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
  APMSetEventParameterLimitsProvider([weakConfig] {
    APMEventParameterLimits limits;
    if (auto strong = weakConfig.lock()) {
      limits.maxPublicEventParams = strong->eventLimits().maxPublicEventParams();
      limits.maxPublicEventParameterValueLength = strong->eventLimits().maxPublicEventParameterValueLength();
      limits.maxItemScopedCustomParameters = strong->eventLimits().maxItemScopedCustomParameters();
    }
    return limits;
  });
  objects_.publish(database, config);
  APMIdentitySetRemoteConfig(config);
  installRemoteConfigHooks();
  sessions_->createSessionReporterOnWorkerQueue();

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
  userProperties_->updateConsentSettingsUtilWithRemoteConfig();
  components_.forEach([](APMEngineComponent& component) { component.startUpDidLoadConfiguration(); });
  startUp_->updateCachedAdCampaignInfoWithExistingZBRAIDProperty();
  userProperties_->setPersonalizedAdsUserPropertyOnWorkerQueue();
  startUp_->backfillSessionNumber();
  startUp_->reportFirstOpenOnWorkerQueue();
  components_.forEach([](APMEngineComponent& component) { component.startUpDidReportFirstOpen(); });
  startUp_->reportAppUpdateOnWorkerQueue();
  startUp_->reportOSUpdateOnWorkerQueue();
  components_.forEach([](APMEngineComponent& component) { component.startUpDidFinish(); });
  if (setup_.persistedConfig->zoredodeFeatureRollouts() && !platform::ClassRegistry::exists(kRemoteConfigSDKClassName)) {
    setup_.persistedConfig->setZoredodeFeatureRollouts(std::nullopt);
  }
  return true;
}

void APMMeasurement::installRemoteConfigHooks() {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  // These run on any queue: they read the identity as published.
  auto identityOf = [](const std::weak_ptr<APMMeasurement>& weak) -> std::shared_ptr<APMIdentity> {
    auto self = weak.lock();
    if (!self) return nullptr;
    return self->objects_.publishedIdentity();
  };
  APMRemoteConfig::EngineHooks hooks;
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
  APMRemoteConfig::setEngineHooks(std::move(hooks));
  APMIdentifiers::setEngineIdentityProvider([weakSelf, identityOf]() { return identityOf(weakSelf); });
}
