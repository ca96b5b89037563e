#include "APMEngineFetch.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "APMDatabase.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMMeasurement.h"
#include "APMPRuntime.h"
#include "APMPersistedConfig.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Fetch/APMNetworkLogBridge.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Session/APMSessionReporter.h"
#include "Upload/APMEngineUploadRoad.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"

namespace {

// Becoming active refreshes a configuration older than this, where the configuration allows it.
constexpr double kActivationRefetchInterval = 604800;

std::optional<std::string> headerField(const std::vector<std::pair<std::string, std::string>>& fields,
                                       const std::string& name) {
  for (const auto& [key, value] : fields) {
    if (key.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < key.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(key[i])) == std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) return value;
  }
  return std::nullopt;
}

APMMonitorContext errorContext(const std::optional<platform::Error>& error) {
  return error ? APMMonitorContext(*error) : APMMonitorContext();
}

bool hasAppActiveOwner() {
  auto hooks = APMAnalyticsHooksSnapshot();
  return hooks->hasAppActiveOwner && hooks->hasAppActiveOwner();
}

}  // namespace

// Removes the notification observers when the engine goes away; the log bridge lives as long as
// the engine (the network client holds it weakly).
struct APMEngineFetch::LifecycleObservers {
  std::vector<platform::NotificationCenter::Token> tokens;
  std::shared_ptr<APMNetworkLogBridge> logBridge;

  ~LifecycleObservers() {
    for (auto token : tokens) platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
};

APMEngineFetch::APMEngineFetch(APMMeasurement& engine) : engine_(engine) {}

APMEngineFetch::~APMEngineFetch() = default;

// MARK: - Fetch

void APMEngineFetch::fetchRemoteConfig() {
  if (!engine_.checkWorkerQueue("fetchRemoteConfig")) return;
  const int64_t version = APMIdentity::zovAridozovoriLibraryVersion();
  const auto& remoteConfig = engine_.remoteConfigInstance();
  const auto& network = engine_.setup().network;
  std::optional<std::string> url;
  if (remoteConfig) {
    url = remoteConfig->network().remoteConfigURL(std::string(kAPMConfigFetchPlatform), version, APMPRuntime::runtimeVersion());
  }
  if (!url || url->empty() || !network) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kInvalidServerURLGetConfiguration,
           "Invalid server URL to get configuration");
    return;
  }
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kFetchingConfigurationServer,
         "Fetching configuration from the server");
  const APMConfigFetchHeaders headers =
      APMConditionalConfigFetchHeaders(engine_.setup().persistedConfig->configDownload(), version);
  setIsNetworkRequestPending(true);
  network->setTimeoutInterval(remoteConfig->network().networkTimeout());
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  network->getURL(*url, headers, engine_.setup().scheduler->workerQueue(), false,
                  [weakEngine](const std::optional<platform::HttpResponse>& response, const platform::Data& data,
                               const std::optional<platform::Error>& error) {
                    auto engine = weakEngine.lock();
                    if (!engine) return;
                    engine->fetch().setIsNetworkRequestPending(false);
                    // A configuration whose body did not arrive whole is a failed fetch, whatever
                    // the status.
                    const bool answered = response && !error;
                    APMScheduler::runGuardedBlockID("APMMeasurement:fetch", [&] {
                      engine->fetch().networkRemoteConfigFetchCompletionHandler(
                          answered ? response->statusCode : 0,
                          answered ? response->headers : platform::HttpHeaders{}, data, error);
                    });
                  });
}

void APMEngineFetch::networkRemoteConfigFetchCompletionHandler(
    int64_t statusCode, const std::vector<std::pair<std::string, std::string>>& headerFields,
    const platform::Data& data, const std::optional<platform::Error>& error) {
  if (!engine_.checkWorkerQueue("networkRemoteConfigFetchCompletionHandler:data:error:")) return;
  const double now = platform::now();
  const auto& persistedConfig = engine_.setup().persistedConfig;
  auto& uploadRoad = engine_.uploadRoad();
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kFetchedConfiguration, "Fetched configuration. Status code",
         statusCode);

  if (!APMIsSuccessfulConfigFetchStatus(statusCode)) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kNetworkRequestFailedFetchRemoteConfig,
           "Network request failed to fetch remote config. Code, Error", statusCode, errorContext(error));
    persistedConfig->uploadSchedule().setLastFailedUploadTimestamp(now);
    if (APMIsBackoffConfigFetchStatus(statusCode)) persistedConfig->uploadSchedule().setLastBackoffTimestamp(now);
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kNetworkFetchFailed,
           "Network fetch failed. Will retry later. Code, error", statusCode, errorContext(error));
    uploadRoad.updateSchedule();
    return;
  }

  persistedConfig->uploadSchedule().setLastFailedUploadTimestamp(0.0);
  persistedConfig->uploadSchedule().setLastBackoffTimestamp(0.0);
  const auto& database = engine_.database();
  const auto& remoteConfig = engine_.remoteConfigInstance();
  if (!database || !remoteConfig) return;

  const bool unchanged = statusCode == 304 || statusCode == 404;
  if (statusCode == 304) {
    APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kConfigurationNotModified,
           "Configuration has not been modified. Using the same configuration. Code", statusCode);
  } else if (statusCode == 404) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kConfigurationNotFound,
           "Configuration not found. Using default configuration");
  } else {
    auto contentLength = headerField(headerFields, "Content-Length");
    const int64_t expectedLength =
        contentLength ? std::strtoll(contentLength->c_str(), nullptr, 10) : static_cast<int64_t>(data.size());
    APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kSuccessfullyFetchedConfigurationServer,
           "Successfully fetched configuration from the server. Code, size", statusCode, expectedLength);
  }

  platform::Error timestampError;
  if (database->storedConfig().updateRemoteConfigSuccessfulTimestamp(now, &timestampError)) {
    uploadRoad.setSuspendedUploadTimestamp(0);
  } else {
    if (unchanged) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedUpdateConfigLastSetTimestamp,
             "Failed to update config last set timestamp. Error", timestampError);
    } else {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedSetLastSetTimestampDatabase,
             "Failed to set last set timestamp in database. Error", timestampError);
    }
    // Without a recorded success the configuration would count as expired at once: hold uploads
    // back rather than fetch again and again.
    uploadRoad.setSuspendedUploadTimestamp(platform::uptime());
  }

  const auto& components = engine_.components().list();
  if (!unchanged && !data.empty()) {
    const auto& identity = engine_.identity();
    APMRemoteConfigApplyContext context{*database, *remoteConfig, identity ? identity->providedIdentifiers().appIDFromDMP() : std::nullopt,
                                        [this] { engine_.userProperties().updateConsentSettingsUtilWithRemoteConfig(); },
                                        [&components](APMDatabase& database, APMRemoteConfig& config,
                                                      const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
                                          for (const auto& component : components) {
                                            if (!component->storeAudiences(database, config, audiences)) return false;
                                          }
                                          return true;
                                        }};
    if (APMApplyRemoteConfig(data, context) == APMRemoteConfigApplyResult::kApplied) {
      persistedConfig->configDownload().setConfigServerLastModifiedString(
          headerField(headerFields, kAPMLastModifiedHeader));
      persistedConfig->configDownload().setConfigServerETag(headerField(headerFields, kAPMETagHeader));
      persistedConfig->configDownload().setConfigDMPVersion(APMIdentity::zovAridozovoriLibraryVersion());
    }
  }

  bool uploadTaken = false;
  for (const auto& component : components) uploadTaken = component->configurationFetchDidSucceed() || uploadTaken;
  if (uploadTaken) {
    // A component's request took the upload attempt: the upload timer must not stay idle.
    uploadRoad.updateSchedule();
  } else {
    // A fresh configuration lets the upload road bundle again.
    uploadRoad.uploadDataOrRegisterAlarm();
  }
  for (const auto& component : components) component->configurationFetchDidEnd();
}

// MARK: - Application lifecycle

void APMEngineFetch::subscribeForAppForegroundBackgroundNotifications() {
  if (lifecycleObservers_) return;
  auto observers = std::make_shared<LifecycleObservers>();
  observers->logBridge = std::make_shared<APMNetworkLogBridge>();
  if (const auto& network = engine_.setup().network) network->setLoggerDelegate(observers->logBridge);
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  observers->tokens.push_back(center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                                                 [weakEngine](const platform::Notification&) {
                                                   if (auto engine = weakEngine.lock())
                                                     engine->fetch().handleAppDidBecomeActiveEvent();
                                                 }));
  observers->tokens.push_back(center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr, nullptr,
                                                 [weakEngine](const platform::Notification&) {
                                                   if (auto engine = weakEngine.lock())
                                                     engine->fetch().handleAppWillResignActiveEvent();
                                                 }));
  lifecycleObservers_ = std::move(observers);
}

void APMEngineFetch::handleAppDidBecomeActiveEvent() {
  // One path tells the session reporter: this one, until an owner of the active state does.
  if (!hasAppActiveOwner()) {
    if (auto reporter = engine_.sessions().currentSessionReporter()) reporter->handleAppDidBecomeActive();
  }

  auto config = engine_.objects().publishedRemoteConfig();
  if (!config || !config->features().blocklistInternal()) return;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3972", [weakEngine] {
    auto engine = weakEngine.lock();
    if (!engine || !engine->remoteConfigInstance()) return;
    const double storedAt = engine->remoteConfigInstance()->message().lastRemoteConfigUpdateTimestamp();
    const double age = std::fabs(platform::now() - storedAt);
    if (age < kActivationRefetchInterval) return;
    if (engine->uploadRoad().isNetworkReadyForRequest()) {
      engine->fetch().fetchRemoteConfig();
    } else {
      APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kNetworkOperationPending,
             "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void APMEngineFetch::handleAppWillResignActiveEvent() {
  auto hooks = APMAnalyticsHooksSnapshot();
  if (auto reporter = hasAppActiveOwner() ? nullptr : engine_.sessions().currentSessionReporter()) {
    platform::Dictionary screen = hooks->screenParameters ? hooks->screenParameters() : platform::Dictionary{};
    reporter->handleAppWillResignActiveWithScreen(screen.empty() ? APMSessionScreen() : APMSessionScreen(screen));
  }
  engine_.setup().persistedConfig->synchronizeToDisk();
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kAppResignActiveState,
         "App will resign active state. Scheduling data upload");
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  auto upload = [weakEngine] {
    auto engine = weakEngine.lock();
    if (!engine) return;
    engine->scheduleOnWorkerQueueBlockID("APMMeasurement:4025", [weakEngine] {
      if (auto strong = weakEngine.lock()) strong->uploadRoad().uploadData();
    });
  };
  // Held by the front until analytics has started.
  if (hooks->queueOperationWithBlock) {
    hooks->queueOperationWithBlock(std::move(upload));
  } else {
    upload();
  }
}

void APMEngineFetch::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void APMEngineFetch::terminateBackgroundTask() { engine_.setup().persistedConfig->synchronizeToDisk(); }
