#pragma once
// The measurement configuration of one app: it stores a downloaded configuration, reads it back
// after a restart, parses it, and hands out its parts, each keeping what it says of one concern:
// the configuration message in force and its age (whether it has expired), the settings cache
// (every "measurement." setting through a typed reader with a default and bounds, so a missing or
// out-of-range server value never reaches the engine), the upload limits, the event limits, the
// reporters' timings, the feature switches, the per-event rules, the consent values, the
// experiment client's side, the service URLs with server-side tagging, and the event-editing
// programs. What it needs of the engine comes through APMRemoteConfigEngineHooks.
//
// Threads: getters may be called from any queue (every part guards what a parse replaces);
// updates and the database reads run on the worker queue.

#include <memory>
#include <optional>
#include <string>

#include "APMEventLimits.h"
#include "APMEventRules.h"
#include "APMFeatureSwitches.h"
#include "APMRemoteConfigConsent.h"
#include "APMRemoteConfigExperiments.h"
#include "APMRemoteConfigMessage.h"
#include "APMRemoteConfigNetwork.h"
#include "APMRemoteConfigPrograms.h"
#include "APMRemoteConfigSettings.h"
#include "APMReporterSettings.h"
#include "APMSettingsCache.h"
#include "APMUploadLimits.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMDatabase;
class APMPersistedConfig;
class APMPBMeasurementConfig;

class APMRemoteConfig : public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // The shared instance without app ID or database: every getter answers its default.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();

  // nullptr (and a log line) for an empty app ID or a missing database. Loads and parses the
  // stored configuration.
  static std::shared_ptr<APMRemoteConfig> create(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                 std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient = nullptr);
  // The same, applying the given configuration instead of the stored one.
  static std::shared_ptr<APMRemoteConfig> create(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                                 std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
                                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                 std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient = nullptr);

  ~APMRemoteConfig();

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }

  // Stores (in the database) and applies a downloaded configuration; worker queue only.
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // The stored configuration, or nullptr; worker queue only.
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Re-reads the stored configuration into memory (after a failed apply transaction, so memory
  // and disk agree). Worker queue only.
  void reloadFromDatabase();
  // Forgets every cached setting and the configuration (the event-editing host stays).
  void reset();

  // The configuration message in force and how old it is.
  const APMRemoteConfigMessage& message() const { return message_; }
  // The parts of the configuration, each reading its own settings.
  APMSettingsCache& settings() { return settings_; }
  APMUploadLimits& uploadLimits() { return uploadLimits_; }
  APMEventLimits& eventLimits() { return eventLimits_; }
  APMReporterSettings& reporters() { return reporters_; }
  APMFeatureSwitches& features() { return features_; }
  APMEventRules& eventRules() { return eventRules_; }
  const APMRemoteConfigConsent& consent() const { return consent_; }
  APMRemoteConfigExperiments& experiments() { return experiments_; }
  APMRemoteConfigNetwork& network() { return network_; }
  const APMRemoteConfigPrograms& programs() const { return programs_; }

 private:
  struct Private {};

 public:
  APMRemoteConfig(Private, std::string appID, std::shared_ptr<APMDatabase> database,
                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient);

 private:
  static std::shared_ptr<APMRemoteConfig> make(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                               std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
                                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                                               std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient,
                                               bool useGivenConfig);
  void parseRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  void resetCaches();

  bool isDefaultInstance_ = false;
  std::string appID_;
  std::weak_ptr<APMDatabase> database_;

  APMSettingsCache settings_;
  APMRemoteConfigMessage message_;
  APMRemoteConfigExperiments experiments_;
  APMUploadLimits uploadLimits_{settings_};
  APMEventLimits eventLimits_{settings_};
  APMReporterSettings reporters_{settings_};
  APMFeatureSwitches features_{settings_, experiments_};
  APMEventRules eventRules_{features_};
  APMRemoteConfigConsent consent_;
  APMRemoteConfigNetwork network_;
  APMRemoteConfigPrograms programs_{*this, settings_};
};
