#include "APMSessionClock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Engine/Session/APMSessionLog.h"
#include "platform/Clock.h"

namespace {

// The session number is a read-modify-write of a persisted value that several reporters (an
// engine's old one still firing on the main queue after a wipe, the new one on the worker queue)
// may share: one lock for the whole process keeps every increment whole.
std::mutex& sessionNumberMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

APMSessionClock::APMSessionClock(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                 const std::function<double()>& defaultTimeout)
    : persistedConfig_(std::move(persistedConfig)) {
  if (auto stored = persistedConfig_->session().sessionTimeoutValue()) {
    timeoutSessionInterval_ = std::max(0.0, *stored);
    persistedConfig_->session().setSessionTimeoutValue(std::nullopt);
  } else {
    timeoutSessionInterval_ = defaultTimeout();
  }
}

double APMSessionClock::currentClockTime() const { return platform::now(); }

// MARK: - Timeout

void APMSessionClock::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0 || std::isnan(seconds)) {
    APMLog(APMLogLevel::kWarning, APMSessionLogCode::kReceivedNegativeTimeoutSessionDuration,
           "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutSessionInterval_ = seconds;
}

double APMSessionClock::timeoutSessionInterval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeoutSessionInterval_;
}

// MARK: - Expiry

bool APMSessionClock::isExpiredLocked(double clockTime) const {
  return std::fabs(clockTime - persistedConfig_->session().lastSessionActivityClockTime()) > timeoutSessionInterval_;
}

bool APMSessionClock::isSessionExpired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isExpiredLocked(currentClockTime());
}

bool APMSessionClock::extendSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  const double now = currentClockTime();
  if (isExpiredLocked(now)) return false;
  persistedConfig_->session().setLastSessionActivityClockTime(now);
  return true;
}

int64_t APMSessionClock::updatePropertiesForNewSessionStart() {
  std::lock_guard<std::mutex> lock(sessionNumberMutex());
  // The number comes from the persisted file: a damaged one at the top of the range stays there
  // rather than overflowing.
  const int64_t stored = persistedConfig_->session().sessionNumber();
  const int64_t number = stored < std::numeric_limits<int64_t>::max() ? stored + 1 : stored;
  persistedConfig_->session().setSessionNumber(number);
  persistedConfig_->session().setLastSessionActivityClockTime(currentClockTime());
  return number;
}
