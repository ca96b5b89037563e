// The engine's configuration fetch (a conditional GET applied in one database transaction) and its
// reactions to the application's state: a refresh on becoming active where the configuration asks
// for it, an upload attempt on resigning active, and the network client's log lines.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "APMDatabase.h"
#include "APMEngineSessions.h"
#include "Upload/APMEngineUploadRoad.h"
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
struct APMMeasurement::LifecycleObservers {
  std::vector<platform::NotificationCenter::Token> tokens;
  std::shared_ptr<APMNetworkLogBridge> logBridge;

  ~LifecycleObservers() {
    for (auto token : tokens) platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
};

// MARK: - Fetch

void APMMeasurement::fetchRemoteConfig() {
  if (!checkWorkerQueue("fetchRemoteConfig")) return;
  const int64_t version = APMIdentity::zovAridozovoriLibraryVersion();
  std::optional<std::string> url;
  if (remoteConfig_) {
    url = remoteConfig_->remoteConfigURL(std::string(kAPMConfigFetchPlatform), version, APMPRuntime::runtimeVersion());
  }
  if (!url || url->empty() || !network_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kInvalidServerURLGetConfiguration,
           "Invalid server URL to get configuration");
    return;
  }
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kFetchingConfigurationServer,
         "Fetching configuration from the server");
  const APMConfigFetchHeaders headers = APMConditionalConfigFetchHeaders(*persistedConfig_, version);
  setIsNetworkRequestPending(true);
  network_->setTimeoutInterval(remoteConfig_->networkTimeout());
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  network_->getURL(*url, headers, scheduler_->workerQueue(), false,
                   [weakSelf](const std::optional<platform::HttpResponse>& response, const platform::Data& data,
                              const std::optional<platform::Error>& error) {
                     auto self = weakSelf.lock();
                     if (!self) return;
                     self->setIsNetworkRequestPending(false);
                     // A configuration whose body did not arrive whole is a failed fetch, whatever
                     // the status.
                     const bool answered = response && !error;
                     APMScheduler::runGuardedBlockID("APMMeasurement:fetch", [&] {
                       self->networkRemoteConfigFetchCompletionHandler(
                           answered ? response->statusCode : 0,
                           answered ? response->headers : platform::HttpHeaders{}, data, error);
                     });
                   });
}

void APMMeasurement::networkRemoteConfigFetchCompletionHandler(
    int64_t statusCode, const std::vector<std::pair<std::string, std::string>>& headerFields,
    const platform::Data& data, const std::optional<platform::Error>& error) {
  if (!checkWorkerQueue("networkRemoteConfigFetchCompletionHandler:data:error:")) return;
  const double now = platform::now();
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kFetchedConfiguration, "Fetched configuration. Status code",
         statusCode);

  if (!APMIsSuccessfulConfigFetchStatus(statusCode)) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kNetworkRequestFailedFetchRemoteConfig,
           "Network request failed to fetch remote config. Code, Error", statusCode, errorContext(error));
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (APMIsBackoffConfigFetchStatus(statusCode)) persistedConfig_->setLastBackoffTimestamp(now);
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kNetworkFetchFailed,
           "Network fetch failed. Will retry later. Code, error", statusCode, errorContext(error));
    uploadRoad_->updateSchedule();
    return;
  }

  persistedConfig_->setLastFailedUploadTimestamp(0.0);
  persistedConfig_->setLastBackoffTimestamp(0.0);
  if (!database_ || !remoteConfig_) return;

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
  if (database_->updateRemoteConfigSuccessfulTimestamp(now, &timestampError)) {
    uploadRoad_->setSuspendedUploadTimestamp(0);
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
    uploadRoad_->setSuspendedUploadTimestamp(platform::uptime());
  }

  if (!unchanged && !data.empty()) {
    APMRemoteConfigApplyContext context{*database_, *remoteConfig_, identity_ ? identity_->appIDFromDMP() : std::nullopt,
                                        [this] { updateConsentSettingsUtilWithRemoteConfig(); },
                                        [this](APMDatabase& database, APMRemoteConfig& config,
                                               const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
                                          for (const auto& component : components_) {
                                            if (!component->storeAudiences(database, config, audiences)) return false;
                                          }
                                          return true;
                                        }};
    if (APMApplyRemoteConfig(data, context) == APMRemoteConfigApplyResult::kApplied) {
      persistedConfig_->setConfigServerLastModifiedString(headerField(headerFields, kAPMLastModifiedHeader));
      persistedConfig_->setConfigServerETag(headerField(headerFields, kAPMETagHeader));
      persistedConfig_->setConfigDMPVersion(APMIdentity::zovAridozovoriLibraryVersion());
    }
  }

  bool uploadTaken = false;
  forEachComponent([&uploadTaken](APMEngineComponent& component) {
    uploadTaken = component.configurationFetchDidSucceed() || uploadTaken;
  });
  if (uploadTaken) {
    // A component's request took the upload attempt: the upload timer must not stay idle.
    uploadRoad_->updateSchedule();
  } else {
    // A fresh configuration lets the upload road bundle again.
    uploadRoad_->uploadDataOrRegisterAlarm();
  }
  forEachComponent([](APMEngineComponent& component) { component.configurationFetchDidEnd(); });
}

// MARK: - Application lifecycle

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  if (lifecycleObservers_) return;
  auto observers = std::make_shared<LifecycleObservers>();
  observers->logBridge = std::make_shared<APMNetworkLogBridge>();
  if (network_) network_->setLoggerDelegate(observers->logBridge);
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  observers->tokens.push_back(center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                                                 [weakSelf](const platform::Notification&) {
                                                   if (auto self = weakSelf.lock()) self->handleAppDidBecomeActiveEvent();
                                                 }));
  observers->tokens.push_back(center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr, nullptr,
                                                 [weakSelf](const platform::Notification&) {
                                                   if (auto self = weakSelf.lock()) self->handleAppWillResignActiveEvent();
                                                 }));
  lifecycleObservers_ = std::move(observers);
}

void APMMeasurement::handleAppDidBecomeActiveEvent() {
  // One path tells the session reporter: this one, until an owner of the active state does.
  if (!hasAppActiveOwner()) {
    if (auto reporter = sessions_->currentSessionReporter()) reporter->handleAppDidBecomeActive();
  }

  std::shared_ptr<APMRemoteConfig> config;
  {
    std::lock_guard<std::mutex> lock(publishMutex_);
    config = publishedRemoteConfig_;
  }
  if (!config || !config->blocklistInternal()) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3972", [weakSelf] {
    auto self = weakSelf.lock();
    if (!self || !self->remoteConfig_) return;
    const double age = std::fabs(platform::now() - self->remoteConfig_->lastRemoteConfigUpdateTimestamp());
    if (age < kActivationRefetchInterval) return;
    if (self->uploadRoad_->isNetworkReadyForRequest()) {
      self->fetchRemoteConfig();
    } else {
      APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kNetworkOperationPending,
             "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void APMMeasurement::handleAppWillResignActiveEvent() {
  auto hooks = APMAnalyticsHooksSnapshot();
  if (auto reporter = hasAppActiveOwner() ? nullptr : sessions_->currentSessionReporter()) {
    platform::Dictionary screen = hooks->screenParameters ? hooks->screenParameters() : platform::Dictionary{};
    reporter->handleAppWillResignActiveWithScreen(screen.empty() ? APMSessionScreen() : APMSessionScreen(screen));
  }
  persistedConfig_->synchronizeToDisk();
  APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kAppResignActiveState,
         "App will resign active state. Scheduling data upload");
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  auto upload = [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->submit("APMMeasurement:4025", [weakSelf] {
      if (auto strong = weakSelf.lock()) strong->uploadRoad_->uploadData();
    });
  };
  // Held by the front until analytics has started.
  if (hooks->queueOperationWithBlock) {
    hooks->queueOperationWithBlock(std::move(upload));
  } else {
    upload();
  }
}

void APMMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void APMMeasurement::terminateBackgroundTask() { persistedConfig_->synchronizeToDisk(); }
