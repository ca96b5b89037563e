#include "APMSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Engine/Session/APMSessionLog.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"

namespace {

constexpr const char* kEngagementTimerName = "Engagement timer";
// One engagement event never reports more than an hour.
constexpr double kMaxEngagementTimeSeconds = 3600;
// Screen changes report nothing for intervals shorter than this.
constexpr double kMinScreenEngagementSeconds = 1.0;

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
      userEngagementTimer_(std::make_shared<APMAlarm>(std::move(timerQueue), kEngagementTimerName)),
      clock_(persistedConfig_, [this] { return settings().sessionDefaultTimeoutInterval; }) {
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

bool APMSessionReporter::shouldStartNewSession() const { return isAppActive() && isSessionExpired(); }

// MARK: - User properties

APMUserAttribute APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) const {
  return APMUserAttribute(APMSessionEvents::kOriginAuto, APMSessionEvents::kSessionIDName, APMValue(wholeSeconds(timestamp)), timestamp);
}

APMUserAttribute APMSessionReporter::sessionNumberProperty() const {
  return APMUserAttribute(APMSessionEvents::kOriginAuto, APMSessionEvents::kSessionNumberName,
                          APMValue(persistedConfig_->session().sessionNumber()), clock_.currentClockTime());
}

void APMSessionReporter::setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber) {
  if (!host_.setInternalUserProperty) return;
  host_.setInternalUserProperty(sessionID ? platform::Object(*sessionID) : platform::Object(), APMSessionEvents::kSessionIDName);
  host_.setInternalUserProperty(sessionNumber ? platform::Object(*sessionNumber) : platform::Object(),
                                APMSessionEvents::kSessionNumberName);
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
  const int64_t sessionID = wholeSeconds(clock_.currentClockTime());
  setSessionID(sessionID, sessionNumber);
  logInternalEvent(APMSessionEvents::kSessionStartEventName, {{APMSessionEvents::kSessionIDName, sessionID}, {APMSessionEvents::kSessionNumberName, sessionNumber}});
}

void APMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(std::nullopt, false); }

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMSessionScreen& screen,
                                                                     bool isRedundant) {
  return logEngagementEventAndReturnTimeWithScreen(screen ? &*screen : nullptr, isRedundant, settings());
}

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const platform::Dictionary* screen,
                                                                     bool isRedundant,
                                                                     const APMSessionSettings& current) {
  if (!isAppActive()) {
    APMLog(APMLogLevel::kDebug, APMSessionLogCode::kUserEngagementEventNotLogged,
           "User engagement event not logged. Application is not active");
    return 0;
  }
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
  persistedConfig_->session().setLastSessionActivityClockTime(clock_.currentClockTime());
  if (report) {
    platform::Dictionary parameters{{APMSessionEvents::kEngagementTimeName, milliseconds}};
    if (screen) {
      for (const auto& [key, value] : *screen) parameters[key] = value;
    }
    if (current.efficientEngagementReportingEnabled && isRedundant) parameters[APMSessionEvents::kFreerideName] = 1;
    logInternalEvent(APMSessionEvents::kEngagementEventName, parameters);
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

double APMSessionReporter::incurredEngagementTime() const { return incurredEngagementTime(settings()); }

double APMSessionReporter::incurredEngagementTime(const APMSessionSettings& settings) const {
  const bool efficient = settings.efficientEngagementReportingEnabled;
  const double now = currentUptime();
  std::lock_guard<std::mutex> lock(mutex_);
  return incurredEngagementTimeLocked(now, efficient);
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() { return cutFreerideEngagementTimeMillis(settings()); }

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis(const APMSessionSettings& settings) {
  if (!settings.efficientEngagementReportingEnabled) return 0;
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
    platform::NotificationCenter::defaultCenter().post(APMSessionEvents::kEngagementTimerDidFireNotification);
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

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMSessionScreen& from, const APMSessionScreen&) {
  if (!from) return;
  handleScreenDidChangeFromScreen(*from, settings());
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const platform::Dictionary& from,
                                                         const APMSessionSettings& current) {
  if (incurredEngagementTime(current) < kMinScreenEngagementSeconds) return;
  if (current.efficientEngagementReportingEnabled && current.redundantEngagementRemovalEnabled) return;
  logEngagementEventAndReturnTimeWithScreen(&from, current.efficientEngagementReportingEnabled, current);
}
