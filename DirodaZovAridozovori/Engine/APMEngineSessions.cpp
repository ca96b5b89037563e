#include "APMEngineSessions.h"

#include <mutex>

#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "APMError.h"
#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"
#include "Fetch/APMEngineFetch.h"
#include "APMPersistedConfig.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Session/APMSessionReporter.h"
#include "platform/Clock.h"

namespace {

// The error code of a session ID that cannot be given.
constexpr int64_t kSessionIDErrorCode = 13;

// Each of these reads the configuration's settings alone (no experiment or other part of it joins
// in), which is what lets SessionSettingsReading keep them while the settings' generation stands.
APMSessionSettings sessionSettings(const std::shared_ptr<APMRemoteConfig>& config) {
  APMSessionSettings settings;
  settings.sessionDefaultTimeoutInterval = config->reporters().sessionDefaultTimeoutInterval();
  settings.sessionEventUserEngagementInterval = config->reporters().sessionEventUserEngagementInterval();
  settings.efficientEngagementReportingEnabled = config->features().efficientEngagementReportingEnabled();
  settings.redundantEngagementRemovalEnabled = config->features().redundantEngagementRemovalEnabled();
  return settings;
}

// The session's settings as last read, kept while the configuration and the generation of its
// settings are the same: every screen view asks for them on the front's queue, and reading the
// four settings cost more than the rest of its screen change. Any thread (guarded by mutex).
class SessionSettingsReading {
 public:
  APMSessionSettings read(const std::shared_ptr<APMRemoteConfig>& config) {
    // Taken before the reading: a change that lands during it moves the generation past the one kept.
    const uint64_t generation = config->settings().generation();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (config_ == config && generation_ == generation) return settings_;
    }
    const APMSessionSettings settings = sessionSettings(config);
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    generation_ = generation;
    settings_ = settings;
    return settings;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<APMRemoteConfig> config_;  // held, so that a later configuration never shares its address
  uint64_t generation_ = 0;
  APMSessionSettings settings_;
};

APMSessionReporterHost sessionHost(std::weak_ptr<APMMeasurement> weakEngine) {
  APMSessionReporterHost host;
  host.logInternalEvent = [weakEngine](const std::string& name, const platform::Dictionary& parameters) {
    // The front first, without holding the engine: a reporter that outlives its engine still
    // reaches the front, and the engine is never kept alive (and ended) by this call.
    if (APMAnalyticsHooksLogInternalEvent(APMSessionEvents::kOriginAuto, name, parameters)) return;
    if (auto engine = weakEngine.lock()) {
      engine->eventRoad().logInternalEvent(APMSessionEvents::kOriginAuto, name, parameters);
    }
  };
  host.setInternalUserProperty = [weakEngine](const platform::Object& value, const std::string& name) {
    auto engine = weakEngine.lock();
    if (!engine) return;
    if (value.isNull()) {
      engine->userProperties().removeUserAttribute(
          std::make_shared<APMUserAttribute>(APMSessionEvents::kOriginAuto, name, APMValue(int64_t{0}), platform::now()));
      return;
    }
    auto converted = APMValue::valueFromObject(value);
    if (!converted) return;
    engine->userProperties().setUserAttribute(
        std::make_shared<APMUserAttribute>(APMSessionEvents::kOriginAuto, name, *converted, platform::now()));
  };
  host.isAppActive = [] { return APMAnalyticsHooksIsAppActive(); };
  return host;
}

}  // namespace

void APMEngineSessions::createSessionReporterOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("createSessionReporterOnWorkerQueue")) return;
  APMSessionReporterHost host = sessionHost(engine_.weak_from_this());
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  // The engine's own configuration, as other queues see it (the timer runs on the main queue).
  host.settings = [weakEngine, reading = std::make_shared<SessionSettingsReading>()] {
    std::shared_ptr<APMRemoteConfig> config;
    if (auto engine = weakEngine.lock()) config = engine->objects().publishedRemoteConfig();
    return reading->read(config ? config : APMRemoteConfig::defaultInstance());
  };
  auto reporter = APMSessionReporter::create(engine_.setup().persistedConfig, std::move(host));
  std::shared_ptr<APMSessionReporter> previous;
  {
    std::lock_guard<std::mutex> lock(sessionReporterMutex_);
    previous = std::move(publishedSessionReporter_);
    publishedSessionReporter_ = reporter;
  }
  // A replaced reporter (after a wipe) must not keep reporting engagement from its timer.
  if (previous) previous->setReportingEnabled(false);
  sessionReporter_ = reporter;
  // The lifecycle observers feed this reporter; they are set up with the first one.
  engine_.fetch().subscribeForAppForegroundBackgroundNotifications();
}

void APMEngineSessions::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  if (!engine_.checkWorkerQueue("reportSessionStartOnWorkerQueueWithTimestamp:appInBackground:")) return;
  if (!isSessionExpiredOnWorkerQueue()) return;
  updatePropertiesForNewSessionStartOnWorkerQueue();
  if (auto sessionID = sessionIDPropertyWithTimestamp(timestamp)) engine_.userProperties().setUserAttributeOnWorkerQueue(*sessionID);
  if (auto sessionNumber = sessionNumberProperty()) engine_.userProperties().setUserAttributeOnWorkerQueue(*sessionNumber);
  const bool background = appInBackground && engine_.remoteConfigInstance() && engine_.remoteConfigInstance()->features().appInBackgroundParameterEnabled();
  platform::Dictionary parameters{{"_sid", static_cast<int64_t>(timestamp)},
                                  {"_sno", engine_.setup().persistedConfig->session().sessionNumber()}};
  if (background) parameters["_aib"] = static_cast<int64_t>(1);
  auto event = APMEvent::create("auto", false, "_s", timestamp, 0, parameters);
  if (!event) return;
  if (!background) {
    auto screen = APMAnalyticsHooksScreenParameters();
    if (!screen.empty()) event->addScreenParameters(screen);
  }
  engine_.eventRoad().handleInternalEventOnWorkerQueue(event);
}

std::shared_ptr<APMSessionReporter> APMEngineSessions::currentSessionReporter() const {
  std::lock_guard<std::mutex> lock(sessionReporterMutex_);
  return publishedSessionReporter_;
}

void APMEngineSessions::setSessionReportingEnabledOnWorkerQueue(bool enabled) {
  if (auto reporter = currentSessionReporter()) reporter->setReportingEnabled(enabled);
}

bool APMEngineSessions::isSessionExpiredOnWorkerQueue() {
  auto reporter = currentSessionReporter();
  return reporter && reporter->isSessionExpired();
}

void APMEngineSessions::extendSessionOnWorkerQueue() {
  if (auto reporter = currentSessionReporter()) reporter->extendSession();
}

void APMEngineSessions::updatePropertiesForNewSessionStartOnWorkerQueue() {
  if (auto reporter = currentSessionReporter()) reporter->updatePropertiesForNewSessionStart();
}

std::optional<APMUserAttribute> APMEngineSessions::sessionIDPropertyWithTimestamp(double timestamp) {
  auto reporter = currentSessionReporter();
  if (!reporter) return std::nullopt;
  return reporter->sessionIDPropertyWithTimestamp(timestamp);
}

std::optional<APMUserAttribute> APMEngineSessions::sessionNumberProperty() {
  auto reporter = currentSessionReporter();
  if (!reporter) return std::nullopt;
  return reporter->sessionNumberProperty();
}

void APMEngineSessions::setSessionTimeoutIntervalOnWorkerQueue(double seconds) {
  if (auto reporter = currentSessionReporter()) reporter->setTimeoutSessionInterval(seconds);
}

void APMEngineSessions::setSessionTimeoutInterval(double seconds) {
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:1565", [weakEngine, seconds] {
    if (auto self = weakEngine.lock()) self->sessions().setSessionTimeoutIntervalOnWorkerQueue(seconds);
  });
}

void APMEngineSessions::sessionIDWithCompletion(std::function<void(int64_t, std::optional<platform::Error>)> completion) {
  if (!completion) return;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3360", [weakEngine, completion] {
    auto fail = [&](const char* description) {
      platform::Error error;
      APMSetError(&error, kSessionIDErrorCode, description);
      completion(0, error);
    };
    auto self = weakEngine.lock();
    if (!self) return fail("Analytics deallocated");
    if (!self->collection().isEnabled() || !self->database()) return fail("Analytics disabled");
    if (self->sessions().isSessionExpiredOnWorkerQueue()) return fail("Session expired");
    platform::Error error;
    auto sessionID = self->database()->userProperties().userAttributeWithName("_sid", &error);
    if (!sessionID || !(sessionID->value().isInt64() || sessionID->value().isDouble())) {
      return fail("Session ID not found");
    }
    const APMValue& value = sessionID->value();
    completion(value.isInt64() ? value.int64Value() : static_cast<int64_t>(value.doubleValue()), std::nullopt);
  });
}
