#pragma once
// The parsed measurement configuration. Every tunable of the measurement SDK is read here through
// a typed getter of a "measurement." setting with a default and bounds, so a missing or
// out-of-range server value never reaches the engine. It also answers per-event questions
// (block lists, conversions, sampling), builds the upload and configuration URLs, carries the
// server-side tagging rules and the consent defaults of the configuration, and hands the
// configuration's event-editing program to the program host.
//
// Threads: getters may be called from any queue (every cache is guarded); updates and the
// database reads run on the worker queue.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "APMEventLimits.h"
#include "APMEventRules.h"
#include "APMFeatureSwitches.h"
#include "APMRemoteConfigConsent.h"
#include "APMRemoteConfigExperiments.h"
#include "APMRemoteConfigSettings.h"
#include "APMReporterSettings.h"
#include "APMSettingsCache.h"
#include "APMUploadLimits.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMDatabase;
class APMPersistedConfig;
class APMPBMeasurementConfig;
class APMPBEventConfig;
class APMPBProgram;

// The loaded event-editing program of a configuration (the program host implements it).
class APMRemoteConfigEventEditing {
 public:
  virtual ~APMRemoteConfigEventEditing() = default;
};

class APMRemoteConfig : public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // What the configuration needs of the engine; each hook may be empty (then: not available).
  struct EngineHooks {
    // The tracking-authorisation status of the identity support (3 = authorised).
    std::function<int64_t()> appDataConsentStatus;
    // Server-side tagging preview headers, when a preview is active.
    std::function<std::optional<platform::Dictionary>()> sstgPreviewHeaders;
    // The engine exists and collection is enabled.
    std::function<bool()> engineIsEnabled;
    // The application's version, for programs.
    std::function<std::optional<std::string>()> appVersion;
  };
  // Creates the event-editing host for a program; nullptr with *error when it does not load.
  using EventEditingLoader = std::function<std::shared_ptr<APMRemoteConfigEventEditing>(
      const APMPBProgram& program, const APMRemoteConfig& config, platform::Error* error)>;

  // Deployment values: the analytics service host (and its tracking-authorised variant, which
  // defaults to the same host). The host program sets them before starting the SDK.
  static void setAnalyticsServiceHost(const std::string& host, const std::string& trackingAuthorizedHost = "");
  static std::string analyticsServiceHost();
  static std::string trackingAuthorizedAnalyticsServiceHost();
  // The scheme of the service URLs ("https"; a host may use "http" for a local collector).
  static void setAnalyticsServiceScheme(const std::string& scheme);
  static std::string analyticsServiceScheme();

  static void setEngineHooks(EngineHooks hooks);
  static EngineHooks engineHooks();
  static void setEventEditingLoader(EventEditingLoader loader);

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

  bool isExpired();
  double lastRemoteConfigUpdateTimestamp();
  int64_t version() const;
  std::optional<std::string> uploadSubdomain() const;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto() const;

  // URLs.
  std::string uploadURL() const;
  std::optional<std::string> remoteConfigURL(const std::optional<std::string>& platformName, int64_t sdkVersion,
                                             int64_t runtimeVersion) const;
  bool SSTGUploadEnabled();
  std::optional<std::string> SSTGUploadURL() const;
  std::optional<platform::Dictionary> SSTGUploadHTTPHeaders() const;

  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing() const;
  // What programs see of the settings ("internal.remoteConfig"): the texts as configured, or the
  // validated numbers as decimal text once a getter has read them.
  platform::Dictionary settingsForPrograms() const;
  // What programs see of the application ("internal.appMetadata").
  platform::Dictionary appMetadataForPrograms() const;

  // The parts of the configuration, each reading its own settings.
  APMSettingsCache& settings() { return settings_; }
  APMUploadLimits& uploadLimits() { return uploadLimits_; }
  APMEventLimits& eventLimits() { return eventLimits_; }
  APMReporterSettings& reporters() { return reporters_; }
  APMFeatureSwitches& features() { return features_; }
  APMEventRules& eventRules() { return eventRules_; }
  const APMRemoteConfigConsent& consent() const { return consent_; }
  APMRemoteConfigExperiments& experiments() { return experiments_; }

  double remoteConfigCacheTimeInterval() { return settings_.timeIntervalInSeconds(APMSettings::kRemoteConfigCacheTimeInterval); }
  double networkTimeout() { return settings_.timeIntervalInSeconds(APMSettings::kNetworkTimeout); }
  bool isNetworkBackgroundSessionEnabled() { return settings_.boolValue(APMSettings::kNetworkBackgroundSessionEnabled); }

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
  std::string hostForUpload() const;

  bool isDefaultInstance_ = false;
  std::string appID_;
  std::weak_ptr<APMDatabase> database_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;

  APMSettingsCache settings_;
  APMRemoteConfigExperiments experiments_;
  APMUploadLimits uploadLimits_{settings_};
  APMEventLimits eventLimits_{settings_};
  APMReporterSettings reporters_{settings_};
  APMFeatureSwitches features_{settings_, experiments_};
  APMEventRules eventRules_{features_};
  APMRemoteConfigConsent consent_;

  // Guards the two below: a parse on the worker queue replaces them while getters on other
  // queues read them.
  mutable std::mutex mutex_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing_;
};
