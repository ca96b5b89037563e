#pragma once
// What a component may ask of the engine it belongs to. The engine gives each of its components
// one context as it makes them; a component keeps it by reference, since the engine owns both and
// outlives every call it makes into a component. Tests give a component a fake context instead
// of an engine.
//
// Threads: the queue, the persisted configuration, internal events, scheduling and consent may be
// used from any thread; the database, the configuration and the road only on the worker queue.

#include <functional>
#include <memory>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMDatabase;
class APMEvent;
class APMPersistedConfig;
class APMRemoteConfig;

class APMEngineContext {
 public:
  virtual ~APMEngineContext() = default;

  // The engine's worker queue: every moment of a component but the launch runs on it.
  virtual std::shared_ptr<platform::DispatchQueue> workerQueue() const = 0;
  virtual std::shared_ptr<APMPersistedConfig> persistedConfig() const = 0;
  // Worker queue: what the first successful start made (nullptr before it).
  virtual std::shared_ptr<APMDatabase> database() const = 0;
  virtual std::shared_ptr<APMRemoteConfig> remoteConfig() const = 0;

  // An internal event on the front's internal road (the engine's own when there is no front); it
  // is written after the current block.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const platform::Dictionary& parameters) = 0;
  // Queues block on the worker queue behind everything handed to the engine before it.
  virtual void schedule(const char* blockID, std::function<void()> block) = 0;
  // Sets the consent of one source (its settings key) as the host's own setting of it would.
  virtual void setConsent(const platform::Dictionary& settings, const std::string& sourceKey) = 0;
};
