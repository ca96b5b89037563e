#pragma once
// The configuration's event-editing programs: the first program of a configuration loaded by the
// program host into the event-editing instance the engine runs events through, and what programs
// see of the settings ("internal.remoteConfig") and of the application ("internal.appMetadata").
//
// Threads: a parse on the worker queue replaces the instance while other queues read it; one
// mutex guards it.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "APMSettingsCache.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMPBProgram;
class APMRemoteConfig;

// The loaded event-editing program of a configuration (the program host implements it).
class APMRemoteConfigEventEditing {
 public:
  virtual ~APMRemoteConfigEventEditing() = default;
};

class APMRemoteConfigPrograms {
 public:
  // Creates the event-editing host for a program; nullptr with *error when it does not load.
  using EventEditingLoader = std::function<std::shared_ptr<APMRemoteConfigEventEditing>(
      const APMPBProgram& program, const APMRemoteConfig& config, platform::Error* error)>;
  static void setEventEditingLoader(EventEditingLoader loader);

  APMRemoteConfigPrograms(const APMRemoteConfig& config, const APMSettingsCache& settings)
      : config_(config), settings_(settings) {}
  APMRemoteConfigPrograms(const APMRemoteConfigPrograms&) = delete;
  APMRemoteConfigPrograms& operator=(const APMRemoteConfigPrograms&) = delete;

  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing() const;
  // The texts as configured, or the validated numbers as decimal text once a getter has read them.
  platform::Dictionary settingsForPrograms() const { return settings_.settingsForPrograms(); }
  platform::Dictionary appMetadataForPrograms() const;

  // Loads the first of a configuration's programs into a new instance; false when it does not
  // load (the instance is then gone). Without programs or a program host the instance stays.
  bool loadPrograms(const std::vector<std::shared_ptr<APMPBProgram>>& programs);

 private:
  const APMRemoteConfig& config_;
  const APMSettingsCache& settings_;
  mutable std::mutex mutex_;
  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing_;
};
