#include "APMMeasurement.h"

#include <cstdio>
#include <cstdlib>

#include "APMCollectionSwitch.h"
#include "APMDatabase.h"
#include "APMEngineComponents.h"
#include "APMEngineRegistry.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMStartUp.h"
#include "Fetch/APMEngineFetch.h"
#include "Upload/APMEngineUploadRoad.h"
#include "APMPersistedConfig.h"
#include "APMStoreLog.h"
#include "DeepLink/APMStoredDeepLink.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "MeasurementVersion.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace {

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

double hookLoadTimestamp(const APMAnalyticsHooks& hooks) {
  return hooks.loadTimestamp ? hooks.loadTimestamp() : platform::now();
}

}  // namespace

// MARK: - Creation

std::shared_ptr<APMMeasurement> APMMeasurement::create(const std::string& appID, const APMEngineOptions& options) {
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
    network = std::make_shared<VIZUzedaru>(APMRemoteConfigNetwork::analyticsServiceHost());
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
                 .isAnalyticsCollectionEnabled = options.isAnalyticsCollectionEnabled,
                 .isAnalyticsCollectionDeactivated = options.isAnalyticsCollectionDeactivated,
                 .safelistedEvents = options.safelistedEvents});
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
  if (auto stored = setup_.persistedConfig->attribution().loadTimestampValue()) {
    initTimestamp_ = *stored;
  } else {
    const double loaded = hookLoadTimestamp(*APMAnalyticsHooksSnapshot());
    initTimestamp_ = loaded;
    setup_.persistedConfig->attribution().setLoadTimestampValue(loaded);
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
    // The drain of the group an open transaction waited for may be among the dropped blocks; its
    // after-commit actions may arm the alarm.
    eventRoad_->commitOpenTransactionOnWorkerQueue();
    setup_.alarm->cancel();
    setup_.persistedConfig->synchronizeToDisk();
    if (const auto& database = objects_.database()) database->close();
  });
  return true;
}

void APMMeasurement::scheduleOnWorkerQueueBlockID(const char* blockID, std::function<void()> block) {
  eventRoad_->submit(blockID, std::move(block));
}
