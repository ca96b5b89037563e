#pragma once
// What a component may ask of the engine it belongs to. The engine gives each of its components
// one context as it makes them; a component keeps it by reference, since the engine owns both and
// outlives every call it makes into a component. Tests give a component a fake context instead
// of an engine.
//
// Threads: the queue, the persisted configuration, internal events, scheduling, consent, the
// network flag, the session reporter and the front's application state may be used from any
// thread; everything else only on the worker queue.

#include <functional>
#include <memory>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMDatabase;
class APMEvent;
class APMIdentity;
class APMPersistedConfig;
class APMRemoteConfig;
class APMSessionReporter;
class APMUserAttribute;
class VIZUzedaru;

class APMEngineContext {
 public:
  virtual ~APMEngineContext() = default;

  // The engine's worker queue: every moment of a component but the launch runs on it.
  virtual std::shared_ptr<platform::DispatchQueue> workerQueue() const = 0;
  virtual std::shared_ptr<APMPersistedConfig> persistedConfig() const = 0;
  // Worker queue: what the first successful start made (nullptr before it).
  virtual std::shared_ptr<APMDatabase> database() const = 0;
  virtual std::shared_ptr<APMRemoteConfig> remoteConfig() const = 0;
  virtual std::shared_ptr<APMIdentity> identity() const = 0;
  // The engine's session reporter once the engine has set up its components (nullptr before): what
  // follows the screens and the activation tells it of engagement.
  virtual std::shared_ptr<APMSessionReporter> sessionReporter() const = 0;
  // Whether collection is on (any thread).
  virtual bool isEnabled() const = 0;
  // The engine's load time (seconds since 1970), the first open's time until one is stored.
  virtual double initTimestamp() const = 0;
  // True on the worker queue; elsewhere the misuse is logged under methodName.
  virtual bool checkWorkerQueue(const char* methodName) const = 0;

  // The engine's network client (nullptr when it could not be made) and its one request at a time:
  // a component's request waits while an upload or a fetch is in flight, and holds the others off
  // while it is.
  virtual std::shared_ptr<VIZUzedaru> network() const = 0;
  virtual bool isNetworkReadyForRequest() = 0;
  virtual void setIsNetworkRequestPending(bool pending) = 0;
  // Whether requests go through the background session, as uploads do.
  virtual bool shouldUseBackgroundSession() = 0;
  // Arms (or cancels) the upload alarm for the next upload, after a component's request ended.
  virtual void updateSchedule() = 0;

  // The road, as the engine's own internal properties and events take it.
  virtual bool setUserProperty(const APMUserAttribute& attribute) = 0;
  virtual void removeUserProperty(const APMUserAttribute& attribute) = 0;
  virtual void writeEvent(const std::shared_ptr<APMEvent>& event) = 0;
  // The whole road of an internal event (sessions, editing, listeners), inside the current block.
  virtual void handleInternalEvent(const std::shared_ptr<APMEvent>& event) = 0;

  // An internal event on the front's internal road (the engine's own when there is no front); it
  // is written after the current block.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const platform::Dictionary& parameters) = 0;
  // Queues block on the worker queue behind everything handed to the engine before it.
  virtual void schedule(const char* blockID, std::function<void()> block) = 0;
  // Sets the consent of one source (its settings key) as the host's own setting of it would.
  virtual void setConsent(const platform::Dictionary& settings, const std::string& sourceKey) = 0;

  // What the front knows of the application: whether it has become active (false without a
  // front) and the current screen's parameters ("_sn", "_sc", "_si"; none without a screen).
  virtual bool isAppActive() const = 0;
  virtual platform::Dictionary screenParameters() const = 0;
};
