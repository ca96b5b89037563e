#include "APMSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Engine/Session/APMSessionLog.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"

namespace {

// The session number is a read-modify-write of a persisted value that several reporters (an
// engine's old one still firing on the main queue after a wipe, the new one on the worker queue)
// may share: one lock for the whole process keeps every increment whole.
std::mutex& sessionNumberMutex() {
  static std::mutex mutex;
  return mutex;
}

int64_t wholeSeconds(double timestamp) { return static_cast<int64_t>(timestamp); }

}  // namespace

std::shared_ptr<APMSessionReporter> APMSessionReporter::create(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                               APMSessionReporterHost host,
                                                               std::shared_ptr<platform::DispatchQueue> timerQueue) {
  if (!persistedConfig) return nullptr;
  if (!timerQueue) timerQueue = platform::DispatchQueue::main();
  return std::make_shared<APMSessionReporter>(Private{}, std::move(persistedConfig), std::move(host),
                                              std::move(timerQueue));
}

APMSessionReporter::APMSessionReporter(Private, std::shared_ptr<APMPersistedConfig> persistedConfig,
                                       APMSessionReporterHost host,
                                       std::shared_ptr<platform::DispatchQueue> timerQueue)
    : persistedConfig_(std::move(persistedConfig)),
      host_(std::move(host)),
      userEngagementTimer_(std::make_shared<APMAlarm>(std::move(timerQueue), kEngagementTimerName)) {
  if (auto stored = persistedConfig_->sessionTimeoutValue()) {
    timeoutSessionInterval_ = std::max(0.0, *stored);
    persistedConfig_->setSessionTimeoutValue(std::nullopt);
  } else {
    timeoutSessionInterval_ = settings().sessionDefaultTimeoutInterval;
  }
  engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
}

APMSessionReporter::~APMSessionReporter() { userEngagementTimer_->cancel(); }

// MARK: - Host

APMSessionSettings APMSessionReporter::settings() const { return host_.settings ? host_.settings() : APMSessionSettings{}; }

bool APMSessionReporter::isAppActive() const { return host_.isAppActive ? host_.isAppActive() : true; }

void APMSessionReporter::logInternalEvent(const std::string& name, const platform::Dictionary& parameters) const {
  if (host_.logInternalEvent) host_.logInternalEvent(name, parameters);
}

double APMSessionReporter::currentUptime() const { return platform::uptime(); }

double APMSessionReporter::currentClockTime() const { return platform::now(); }

// MARK: - Switches

void APMSessionReporter::setReportingEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reportingEnabled_ = enabled;
  }
  if (!enabled) {
    userEngagementTimer_->cancel();
    return;
  }
  if (isAppActive() && !userEngagementTimer_->scheduledTimestamp()) rescheduleUserEngagementTimer();
}

bool APMSessionReporter::isReportingEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reportingEnabled_;
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0 || std::isnan(seconds)) {
    APMLog(APMLogLevel::kWarning, APMSessionLogCode::kReceivedNegativeTimeoutSessionDuration,
           "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutSessionInterval_ = seconds;
}

double APMSessionReporter::timeoutSessionInterval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeoutSessionInterval_;
}

// MARK: - Expiry

bool APMSessionReporter::isExpiredLocked(double clockTime) const {
  return std::fabs(clockTime - persistedConfig_->lastSessionActivityClockTime()) > timeoutSessionInterval_;
}

bool APMSessionReporter::isSessionExpired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isExpiredLocked(currentClockTime());
}

bool APMSessionReporter::shouldStartNewSession() const { return isAppActive() && isSessionExpired(); }

bool APMSessionReporter::extendSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  const double now = currentClockTime();
  if (isExpiredLocked(now)) return false;
  persistedConfig_->setLastSessionActivityClockTime(now);
  return true;
}

int64_t APMSessionReporter::updatePropertiesForNewSessionStart() {
  std::lock_guard<std::mutex> lock(sessionNumberMutex());
  const int64_t number = persistedConfig_->sessionNumber() + 1;
  persistedConfig_->setSessionNumber(number);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return number;
}

// MARK: - User properties

APMUserAttribute APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) const {
  return APMUserAttribute(kOriginAuto, kSessionIDName, APMValue(wholeSeconds(timestamp)), timestamp);
}

APMUserAttribute APMSessionReporter::sessionNumberProperty() const {
  return APMUserAttribute(kOriginAuto, kSessionNumberName, APMValue(persistedConfig_->sessionNumber()),
                          currentClockTime());
}

void APMSessionReporter::setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber) {
  if (!host_.setInternalUserProperty) return;
  host_.setInternalUserProperty(sessionID ? platform::Object(*sessionID) : platform::Object(), kSessionIDName);
  host_.setInternalUserProperty(sessionNumber ? platform::Object(*sessionNumber) : platform::Object(),
                                kSessionNumberName);
}

// MARK: - Events

void APMSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    APMLog(APMLogLevel::kDebug, APMSessionLogCode::kSessionStartEventNotLogged,
           "Session start event not logged. Application is not active");
    return;
  }
  if (!isReportingEnabled()) return;
  const int64_t sessionNumber = updatePropertiesForNewSessionStart();
  const int64_t sessionID = wholeSeconds(currentClockTime());
  setSessionID(sessionID, sessionNumber);
  logInternalEvent(kSessionStartEventName, {{kSessionIDName, sessionID}, {kSessionNumberName, sessionNumber}});
}

void APMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(std::nullopt, false); }

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMSessionScreen& screen,
                                                                     bool isRedundant) {
  if (!isAppActive()) {
    APMLog(APMLogLevel::kDebug, APMSessionLogCode::kUserEngagementEventNotLogged,
           "User engagement event not logged. Application is not active");
    return 0;
  }
  const APMSessionSettings current = settings();
  const double now = currentUptime();
  int64_t milliseconds = 0;
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    report = reportingEnabled_;
    if (report) {
      const double seconds = incurredEngagementTimeLocked(now, current.efficientEngagementReportingEnabled);
      milliseconds = static_cast<int64_t>(std::min(seconds, kMaxEngagementTimeSeconds) * 1000);
    }
    engagementStartUptime_ = now;
    if (current.efficientEngagementReportingEnabled && !isRedundant) freerideEngagementStartUptime_ = now;
  }
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  if (report) {
    platform::Dictionary parameters{{kEngagementTimeName, milliseconds}};
    if (screen) {
      for (const auto& [key, value] : *screen) parameters[key] = value;
    }
    if (current.efficientEngagementReportingEnabled && isRedundant) parameters[kFreerideName] = 1;
    logInternalEvent(kEngagementEventName, parameters);
    rescheduleUserEngagementTimer();
  }
  return milliseconds;
}

// MARK: - Engagement time

double APMSessionReporter::incurredEngagementTimeLocked(double uptime, bool efficient) const {
  const double start = efficient ? freerideEngagementStartUptime_ : engagementStartUptime_;
  const double incurred = uptime - start;
  if (incurred < 0 || std::isnan(incurred)) {
    APMLog(APMLogLevel::kWarningSampled, APMSessionLogCode::kIncurredEngagementTimeNegative,
           "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return incurred;
}

double APMSessionReporter::incurredEngagementTime() const {
  const bool efficient = settings().efficientEngagementReportingEnabled;
  const double now = currentUptime();
  std::lock_guard<std::mutex> lock(mutex_);
  return incurredEngagementTimeLocked(now, efficient);
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!settings().efficientEngagementReportingEnabled) return 0;
  const double now = currentUptime();
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t milliseconds = static_cast<int64_t>(incurredEngagementTimeLocked(now, true) * 1000);
  freerideEngagementStartUptime_ = now;
  return milliseconds;
}

// MARK: - Timer

void APMSessionReporter::rescheduleUserEngagementTimer() {
  std::weak_ptr<APMSessionReporter> weakSelf = weak_from_this();
  userEngagementTimer_->runAfterDelay(settings().sessionEventUserEngagementInterval, [weakSelf] {
    platform::NotificationCenter::defaultCenter().post(kEngagementTimerDidFireNotification);
    if (auto self = weakSelf.lock()) self->logUserEngagementEvent();
  });
}

// MARK: - Notifications

void APMSessionReporter::handleAppDidBecomeActive() {
  const double now = currentUptime();
  bool reporting = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    engagementStartUptime_ = freerideEngagementStartUptime_ = now;
    reporting = reportingEnabled_;
  }
  if (!reporting) return;
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession()) {
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const APMSessionScreen& screen) {
  logEngagementEventAndReturnTimeWithScreen(screen, false);
  userEngagementTimer_->cancel();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMSessionScreen& from, const APMSessionScreen& to) {
  if (!from || incurredEngagementTime() < kMinScreenEngagementSeconds) return;
  const APMSessionSettings current = settings();
  if (current.efficientEngagementReportingEnabled && current.redundantEngagementRemovalEnabled) return;
  logEngagementEventAndReturnTimeWithScreen(from, current.efficientEngagementReportingEnabled);
}

// MARK: - Session start event for the engine

std::shared_ptr<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp,
                                               const platform::Dictionary& screenParameters) {
  APMParameters parameters;
  parameters.insert_or_assign(APMSessionReporter::kSessionIDName, APMValue(wholeSeconds(timestamp)));
  parameters.insert_or_assign(APMSessionReporter::kSessionNumberName, APMValue(sessionNumber));
  if (appInBackground) parameters.insert_or_assign(APMSessionReporter::kAppInBackgroundName, APMValue(int64_t{1}));
  auto event = APMEvent::create(APMSessionReporter::kOriginAuto, false, APMSessionReporter::kSessionStartEventName,
                                timestamp, 0, std::move(parameters));
  if (event && !appInBackground) event->addScreenParameters(screenParameters);
  return event;
}
