#pragma once
// When the session runs out, and which number the next one takes. The session has expired once the
// clock time is further than the timeout from the last activity, either way (a clock set back
// counts too); the last activity and the session number live in the persisted configuration.
//
// Threads. Asked from the main queue and the engine's worker queue: the timeout is guarded by the
// clock's mutex, and the session number is only ever raised under a process-wide lock, so two
// sessions started at the same moment on different queues still get different numbers.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class APMPersistedConfig;

class APMSessionClock {
 public:
  // The timeout is the stored one when the host set one before the engine existed (it is then
  // cleared), else defaultTimeout's.
  APMSessionClock(std::shared_ptr<APMPersistedConfig> persistedConfig, const std::function<double()>& defaultTimeout);
  APMSessionClock(const APMSessionClock&) = delete;
  APMSessionClock& operator=(const APMSessionClock&) = delete;

  // A negative value is logged (33001) and stored as 0.
  void setTimeoutSessionInterval(double seconds);
  double timeoutSessionInterval() const;

  // |clock time - last activity| > timeout.
  bool isSessionExpired() const;
  // Moves the last activity to now unless the session has already expired.
  bool extendSession();
  // Raises the session number by one (atomically) and moves the last activity to now; the new
  // number.
  int64_t updatePropertiesForNewSessionStart();

  double currentClockTime() const;

 private:
  bool isExpiredLocked(double clockTime) const;

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  // Guards timeoutSessionInterval_.
  mutable std::mutex mutex_;
  double timeoutSessionInterval_ = 0;
};
