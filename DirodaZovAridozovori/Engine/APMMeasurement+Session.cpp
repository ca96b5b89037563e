// The engine's side of sessions: it owns one session reporter, wires it to the front (or, when no
// front has started, straight to its own entry points) and answers the event road's session
// questions through it.
#include "APMEngineEventRoad.h"
#include "APMMeasurement.h"
#include "APMPersistedConfig.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Session/APMSessionReporter.h"
#include "platform/Clock.h"

namespace {

APMSessionSettings sessionSettings(const std::shared_ptr<APMRemoteConfig>& config) {
  APMSessionSettings settings;
  settings.sessionDefaultTimeoutInterval = config->sessionDefaultTimeoutInterval();
  settings.sessionEventUserEngagementInterval = config->sessionEventUserEngagementInterval();
  settings.efficientEngagementReportingEnabled = config->efficientEngagementReportingEnabled();
  settings.redundantEngagementRemovalEnabled = config->redundantEngagementRemovalEnabled();
  return settings;
}

APMSessionReporterHost sessionHost(std::weak_ptr<APMMeasurement> weakEngine) {
  APMSessionReporterHost host;
  host.logInternalEvent = [weakEngine](const std::string& name, const platform::Dictionary& parameters) {
    auto hooks = APMCurrentAnalyticsHooks();
    if (hooks.logInternalEventWithOrigin) {
      hooks.logInternalEventWithOrigin(APMSessionReporter::kOriginAuto, name, parameters);
      return;
    }
    if (auto engine = weakEngine.lock()) {
      engine->eventRoad().logEventWithOrigin(APMSessionReporter::kOriginAuto, false, name, parameters, platform::now(),
                                 {.ignoreInterceptor = true}, nullptr, {});
    }
  };
  host.setInternalUserProperty = [weakEngine](const platform::Object& value, const std::string& name) {
    auto engine = weakEngine.lock();
    if (!engine) return;
    if (value.isNull()) {
      engine->removeUserAttribute(
          std::make_shared<APMUserAttribute>(APMSessionReporter::kOriginAuto, name, APMValue(int64_t{0}), platform::now()));
      return;
    }
    auto converted = APMValue::valueFromObject(value);
    if (!converted) return;
    engine->setUserAttribute(
        std::make_shared<APMUserAttribute>(APMSessionReporter::kOriginAuto, name, *converted, platform::now()));
  };
  host.isAppActive = [] { return APMAnalyticsHooksIsAppActive(); };
  return host;
}

}  // namespace

void APMMeasurement::createSessionReporterOnWorkerQueue() {
  if (!checkWorkerQueue("createSessionReporterOnWorkerQueue")) return;
  APMSessionReporterHost host = sessionHost(weak_from_this());
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  // The engine's own configuration, as other queues see it (the timer runs on the main queue).
  host.settings = [weakSelf] {
    std::shared_ptr<APMRemoteConfig> config;
    if (auto self = weakSelf.lock()) {
      std::lock_guard<std::mutex> lock(self->publishMutex_);
      config = self->publishedRemoteConfig_;
    }
    return sessionSettings(config ? config : APMRemoteConfig::defaultInstance());
  };
  auto reporter = APMSessionReporter::create(persistedConfig_, std::move(host));
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
  subscribeForAppForegroundBackgroundNotifications();
}

std::shared_ptr<APMSessionReporter> APMMeasurement::currentSessionReporter() const {
  std::lock_guard<std::mutex> lock(sessionReporterMutex_);
  return publishedSessionReporter_;
}

void APMMeasurement::setSessionReportingEnabledOnWorkerQueue(bool enabled) {
  if (auto reporter = currentSessionReporter()) reporter->setReportingEnabled(enabled);
}

bool APMMeasurement::isSessionExpiredOnWorkerQueue() {
  auto reporter = currentSessionReporter();
  return reporter && reporter->isSessionExpired();
}

void APMMeasurement::extendSessionOnWorkerQueue() {
  if (auto reporter = currentSessionReporter()) reporter->extendSession();
}

void APMMeasurement::updatePropertiesForNewSessionStartOnWorkerQueue() {
  if (auto reporter = currentSessionReporter()) reporter->updatePropertiesForNewSessionStart();
}

std::optional<APMUserAttribute> APMMeasurement::sessionIDPropertyWithTimestamp(double timestamp) {
  auto reporter = currentSessionReporter();
  if (!reporter) return std::nullopt;
  return reporter->sessionIDPropertyWithTimestamp(timestamp);
}

std::optional<APMUserAttribute> APMMeasurement::sessionNumberProperty() {
  auto reporter = currentSessionReporter();
  if (!reporter) return std::nullopt;
  return reporter->sessionNumberProperty();
}

void APMMeasurement::setSessionTimeoutIntervalOnWorkerQueue(double seconds) {
  if (auto reporter = currentSessionReporter()) reporter->setTimeoutSessionInterval(seconds);
}
