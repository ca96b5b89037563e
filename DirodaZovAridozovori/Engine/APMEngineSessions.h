#pragma once
// The engine's sessions: it owns one session reporter, wires it to the front (or, when no front
// has started, straight to the engine's own entry points) and answers the session questions of the
// event road and the start-up through it. Owned by the engine.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "APMUserAttribute.h"
#include "platform/Error.h"

class APMMeasurement;
class APMSessionReporter;

class APMEngineSessions {
 public:
  explicit APMEngineSessions(APMMeasurement& engine) : engine_(engine) {}
  APMEngineSessions(const APMEngineSessions&) = delete;
  APMEngineSessions& operator=(const APMEngineSessions&) = delete;

  // Worker queue: creates the session reporter over the persisted configuration (start-up and
  // wipe); a reporter it replaces stops reporting.
  void createSessionReporterOnWorkerQueue();
  void setSessionReportingEnabledOnWorkerQueue(bool enabled);
  bool isSessionExpiredOnWorkerQueue();
  void extendSessionOnWorkerQueue();
  // A new session once the last one expired: its properties, then its "_s" event on the road.
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void setSessionTimeoutIntervalOnWorkerQueue(double seconds);
  // Any thread: queues the change behind everything submitted before it.
  void setSessionTimeoutInterval(double seconds);
  // Any thread: the current session's ID, or error 13 when there is none (analytics off, the
  // session expired); completion runs on the worker queue.
  void sessionIDWithCompletion(std::function<void(int64_t, std::optional<platform::Error>)> completion);
  // The current session reporter, from any queue (nullptr before the first start).
  std::shared_ptr<APMSessionReporter> currentSessionReporter() const;

 private:
  // Starts a new session: session number and start time; the "_sid" and "_sno" properties for it.
  void updatePropertiesForNewSessionStartOnWorkerQueue();
  std::optional<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
  std::optional<APMUserAttribute> sessionNumberProperty();

  APMMeasurement& engine_;
  std::shared_ptr<APMSessionReporter> sessionReporter_;  // worker queue only
  // Guards publishedSessionReporter_: the worker replaces it, the main queue's handlers read it.
  mutable std::mutex sessionReporterMutex_;
  std::shared_ptr<APMSessionReporter> publishedSessionReporter_;
};
