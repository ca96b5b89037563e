#pragma once
// Decides when a new session starts and how much foreground engagement time the user spent, and
// reports both as internal events: "_s" (session start, with "_sid" and "_sno", which also become
// user properties) and "_e" (user engagement, with "_et" in milliseconds).
//
// The names reported are APMSessionEvents'; when a session expires and which number the next one
// takes is the session clock's (APMSessionClock), which the reporter owns and answers through.
//
// Threads. The activation and screen handlers and the engagement timer run on the main queue; the
// engine asks isSessionExpired / extendSession / the property builders from its worker queue. The
// reporter's own fields are guarded by one mutex, the timeout by the clock's. No call into the host
// (events, user properties, settings) is made while a lock is held.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "APMAlarm.h"
#include "APMEvent.h"
#include "APMUserAttribute.h"
#include "APMSessionClock.h"
#include "APMSessionEvents.h"
#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMPersistedConfig;

// The screen an engagement interval is reported against: its parameters ("_sn", "_sc", "_si").
using APMSessionScreen = std::optional<platform::Dictionary>;

// The tunables the reporter reads from the configuration at the moment it needs them.
struct APMSessionSettings {
  double sessionDefaultTimeoutInterval = 1800;
  double sessionEventUserEngagementInterval = 3600;
  bool efficientEngagementReportingEnabled = false;
  bool redundantEngagementRemovalEnabled = false;
};

// What the reporter needs of the rest of the SDK. Every member may be empty: events and user
// properties are then dropped, the application counts as active and the default settings apply.
struct APMSessionReporterHost {
  // Logs an internal event of origin "auto".
  std::function<void(const std::string& name, const platform::Dictionary& parameters)> logInternalEvent;
  // Sets (or, with a null value, removes) a user property of origin "auto".
  std::function<void(const platform::Object& value, const std::string& name)> setInternalUserProperty;
  std::function<bool()> isAppActive;
  std::function<APMSessionSettings()> settings;
};

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
 public:
  // initWithPersistedConfig: the timeout is the stored one when the host set one before the
  // engine existed (it is then cleared), else the configured default. The engagement timer runs
  // on timerQueue (the main queue by default).
  static std::shared_ptr<APMSessionReporter> create(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                    APMSessionReporterHost host,
                                                    std::shared_ptr<platform::DispatchQueue> timerQueue = nullptr);
  ~APMSessionReporter();
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const;
  // A negative value is logged (33001) and stored as 0.
  void setTimeoutSessionInterval(double seconds) { clock_.setTimeoutSessionInterval(seconds); }
  double timeoutSessionInterval() const { return clock_.timeoutSessionInterval(); }

  // |clock time - last activity| > timeout.
  bool isSessionExpired() const { return clock_.isSessionExpired(); }
  // The application is active and the session has expired.
  bool shouldStartNewSession() const;
  // Moves the last activity to now unless the session has already expired.
  bool extendSession() { return clock_.extendSession(); }
  // Raises the session number by one (atomically) and moves the last activity to now; the new
  // number.
  int64_t updatePropertiesForNewSessionStart() { return clock_.updatePropertiesForNewSessionStart(); }

  // "_sid" (origin "auto") = timestamp in whole seconds, set at timestamp.
  APMUserAttribute sessionIDPropertyWithTimestamp(double timestamp) const;
  // "_sno" (origin "auto") = the stored session number, set now.
  APMUserAttribute sessionNumberProperty() const;
  // Sets "_sid" then "_sno" through the host; none removes them.
  void setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber);

  void logSessionStartEvent();
  void logUserEngagementEvent();
  // The milliseconds reported (0 when nothing was reported).
  int64_t logEngagementEventAndReturnTimeWithScreen(const APMSessionScreen& screen, bool isRedundant);

  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const APMSessionScreen& screen);
  void handleScreenDidChangeFromScreen(const APMSessionScreen& from, const APMSessionScreen& to);
  // The same with the settings already read (a screen view reads them once for all its steps) and
  // the screen left as it stands: its parameters are copied only into an engagement event.
  void handleScreenDidChangeFromScreen(const platform::Dictionary& from, const APMSessionSettings& settings);
  void rescheduleUserEngagementTimer();

  double currentUptime() const;
  // Seconds of engagement since the current interval began (never negative).
  double incurredEngagementTime() const;
  // With efficient reporting: the free-ride time in milliseconds, restarting the free-ride interval.
  int64_t cutFreerideEngagementTimeMillis();
  int64_t cutFreerideEngagementTimeMillis(const APMSessionSettings& settings);

  // The tunables as configured now (the host's reading of the configuration).
  APMSessionSettings settings() const;

  const std::shared_ptr<APMAlarm>& userEngagementTimer() const { return userEngagementTimer_; }

 private:
  struct Private {};

 public:
  APMSessionReporter(Private, std::shared_ptr<APMPersistedConfig> persistedConfig, APMSessionReporterHost host,
                     std::shared_ptr<platform::DispatchQueue> timerQueue);

 private:
  bool isAppActive() const;
  double incurredEngagementTime(const APMSessionSettings& settings) const;
  // screen: none reports no screen.
  int64_t logEngagementEventAndReturnTimeWithScreen(const platform::Dictionary* screen, bool isRedundant,
                                                    const APMSessionSettings& settings);
  double incurredEngagementTimeLocked(double uptime, bool efficient) const;
  void logInternalEvent(const std::string& name, const platform::Dictionary& parameters) const;

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const APMSessionReporterHost host_;
  std::shared_ptr<APMAlarm> userEngagementTimer_;
  APMSessionClock clock_;

  // Guards the fields below.
  mutable std::mutex mutex_;
  double engagementStartUptime_ = 0;
  double freerideEngagementStartUptime_ = 0;
  bool reportingEnabled_ = false;
};
