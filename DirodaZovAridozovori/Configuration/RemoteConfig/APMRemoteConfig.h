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

#include "APMRemoteConfigSettings.h"
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

// The experiment client the configuration registers as the SDK "app_measurement".
class APMRemoteConfigExperimentClient {
 public:
  virtual ~APMRemoteConfigExperimentClient() = default;
  // Activates the newest fetched snapshot; false (with *error) when it cannot.
  virtual bool activateLatestSnapshot(platform::Error* error) = 0;
  // The activated value of a flag, if any.
  virtual std::optional<platform::Object> flagValue(const std::string& name) = 0;
  virtual std::vector<int64_t> experimentIDs() = 0;
  virtual void reset() = 0;
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

  // Event configurations (by internal short name where one exists).
  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name) const;
  bool isEventBlocklisted(const std::string& name);
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  int32_t samplingRateForEvent(const std::string& name) const;

  // URLs.
  std::string uploadURL() const;
  std::optional<std::string> remoteConfigURL(const std::optional<std::string>& platformName, int64_t sdkVersion,
                                             int64_t runtimeVersion) const;
  bool SSTGUploadEnabled();
  std::optional<std::string> SSTGUploadURL() const;
  std::optional<platform::Dictionary> SSTGUploadHTTPHeaders() const;

  // Consent and data controls of the configuration.
  std::vector<std::string> dataControls() const;
  platform::Dictionary consentDefaults() const;
  platform::Dictionary consentDelegations() const;
  platform::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;

  // Experiments.
  std::vector<int64_t> experimentIDs() const;
  void clientDidReceiveNewSnapshot();
  void clientDidReceiveFetchError(const std::optional<platform::Error>& error);
  bool shouldFetchExperiments() const;
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();

  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing() const;
  // What programs see of the settings ("internal.remoteConfig"): the texts as configured, or the
  // validated numbers as decimal text once a getter has read them.
  platform::Dictionary settingsForPrograms() const;
  // What programs see of the application ("internal.appMetadata").
  platform::Dictionary appMetadataForPrograms() const;

  // The core reader: the setting under key, validated against the bounds, the default when
  // absent, unparseable or out of range. The result is cached as a number.
  std::optional<platform::Object> numberFromCache(const std::string& key, const platform::Object& defaultValue,
                                                  const std::optional<platform::Object>& maxValue,
                                                  const std::optional<platform::Object>& minValue,
                                                  const std::function<std::optional<platform::Object>(const platform::Object&)>& block = nullptr);
  double timeIntervalInSeconds(const APMSettingDefinition& setting);
  int32_t intValue(const APMSettingDefinition& setting);
  int64_t int64Value(const APMSettingDefinition& setting);
  int64_t int64Value(const std::string& key, int64_t defaultValue);
  bool boolValue(const APMSettingDefinition& setting);
  // Reads any setting of the table by its reader, as a double (tests, diagnostics).
  double settingValue(const APMSettingDefinition& setting);

  // The settings getters.
  double uploadingBackoffInterval() { return timeIntervalInSeconds(APMSettings::kUploadingBackoffInterval); }
  double databaseDeleteStaleBundlesInterval() { return timeIntervalInSeconds(APMSettings::kDatabaseDeleteStaleBundlesInterval); }
  double maxQueueTime() { return timeIntervalInSeconds(APMSettings::kMaxQueueTime); }
  double adIDCacheTime() { return timeIntervalInSeconds(APMSettings::kAdIDCacheTime); }
  double monitoringSamplePeriod() { return timeIntervalInSeconds(APMSettings::kMonitoringSamplePeriod); }
  double networkTimeout() { return timeIntervalInSeconds(APMSettings::kNetworkTimeout); }
  double sessionDefaultTimeoutInterval() { return timeIntervalInSeconds(APMSettings::kSessionDefaultTimeoutInterval); }
  double sessionEventUserEngagementInterval() { return timeIntervalInSeconds(APMSettings::kSessionEventUserEngagementInterval); }
  double uploadingInterval() { return timeIntervalInSeconds(APMSettings::kUploadingInterval); }
  double uploadingInitialDelayInterval() { return timeIntervalInSeconds(APMSettings::kUploadingInitialDelayInterval); }
  double uploadingRetryInterval() { return timeIntervalInSeconds(APMSettings::kUploadingRetryInterval); }
  int32_t maxBundlesCreatedPerIteration();
  double uploadingDebugModeInterval() { return timeIntervalInSeconds(APMSettings::kUploadingDebugModeInterval); }
  double uploadingRealTimeInterval() { return timeIntervalInSeconds(APMSettings::kUploadingRealTimeInterval); }
  double PSMRetryInterval() { return timeIntervalInSeconds(APMSettings::kPSMRetryInterval); }
  double attributionCacheTTLInterval() { return timeIntervalInSeconds(APMSettings::kAttributionCacheTTLInterval); }
  double remoteConfigCacheTimeInterval() { return timeIntervalInSeconds(APMSettings::kRemoteConfigCacheTimeInterval); }
  double SKANInitialCVFetchDelay() { return timeIntervalInSeconds(APMSettings::kSKANInitialCVFetchDelay); }
  double SKANCVFetchRetryInterval() { return timeIntervalInSeconds(APMSettings::kSKANCVFetchRetryInterval); }
  double SKANFirstWindowCVFetchDelay() { return timeIntervalInSeconds(APMSettings::kSKANFirstWindowCVFetchDelay); }
  double SKANFirstWindowCVFetchRetryInterval() { return timeIntervalInSeconds(APMSettings::kSKANFirstWindowCVFetchRetryInterval); }
  double SKANFirstWindowUploadInterval() { return timeIntervalInSeconds(APMSettings::kSKANFirstWindowUploadInterval); }
  int32_t maxAudienceCount() { return intValue(APMSettings::kMaxAudienceCount); }
  int32_t maxFiltersPerAudience() { return intValue(APMSettings::kMaxFiltersPerAudience); }
  int32_t maxFilterResultCount() { return intValue(APMSettings::kMaxFilterResultCount); }
  int32_t maxParametersPerFilter() { return intValue(APMSettings::kMaxParametersPerFilter); }
  int32_t maxConversionsPerDay() { return intValue(APMSettings::kMaxConversionsPerDay); }
  int32_t maxEventsPerDay() { return intValue(APMSettings::kMaxEventsPerDay); }
  int32_t maxPublicEventsPerDay() { return intValue(APMSettings::kMaxPublicEventsPerDay); }
  int32_t maxErrorEventsPerDay() { return intValue(APMSettings::kMaxErrorEventsPerDay); }
  int32_t maxTrackedCurrencies() { return intValue(APMSettings::kMaxTrackedCurrencies); }
  int32_t maxPublicUserProperties() { return intValue(APMSettings::kMaxPublicUserProperties); }
  int32_t maxEventNameCardinality() { return intValue(APMSettings::kMaxEventNameCardinality); }
  int32_t maxPublicEventParams() { return intValue(APMSettings::kMaxPublicEventParams); }
  int32_t maxEventsStored() { return intValue(APMSettings::kMaxEventsStored); }
  int32_t uploadingRetryCount() { return intValue(APMSettings::kUploadingRetryCount); }
  int32_t maxRealtimeEventCountPerDay() { return intValue(APMSettings::kMaxRealtimeEventCountPerDay); }
  int32_t analyticsAccountTimeZoneOffsetMinutes() { return intValue(APMSettings::kAnalyticsAccountTimeZoneOffsetMinutes); }
  int32_t maxItemScopedCustomParameters() { return intValue(APMSettings::kMaxItemScopedCustomParameters); }
  int32_t maxPublicEventParameterValueLength() { return intValue(APMSettings::kMaxPublicEventParameterValueLength); }
  int32_t maxInternalEventParameterValueLength();
  int32_t maxRealtimeDCUEventCountPerDay() { return intValue(APMSettings::kMaxRealtimeDCUEventCountPerDay); }
  int32_t maxPSMStartCount();
  int32_t maxPSMRetryCount() { return intValue(APMSettings::kMaxPSMRetryCount); }
  int32_t hashPrefixBitLengthEmail() { return intValue(APMSettings::kHashPrefixBitLengthEmail); }
  int32_t hashPrefixBitLengthPhone() { return intValue(APMSettings::kHashPrefixBitLengthPhone); }
  int32_t maxSignInDelayInDays() { return intValue(APMSettings::kMaxSignInDelayInDays); }
  int32_t maxDeferredDeepLinkRetryCount() { return intValue(APMSettings::kMaxDeferredDeepLinkRetryCount); }
  int32_t SKANCVFetchRetryLimit() { return intValue(APMSettings::kSKANCVFetchRetryLimit); }
  int32_t SKANFirstWindowCVFetchRetryLimit() { return intValue(APMSettings::kSKANFirstWindowCVFetchRetryLimit); }
  int64_t uploadMaxBundlesLimit() { return int64Value(APMSettings::kUploadMaxBundlesLimit); }
  int64_t uploadMaxEventsPerBundle() { return int64Value(APMSettings::kUploadMaxEventsPerBundle); }
  int64_t uploadMaxSizeLimitBytes() { return int64Value(APMSettings::kUploadMaxSizeLimitBytes); }
  bool gateIDFAOnATTMASEnabled() { return boolValue(APMSettings::kGateIDFAOnATTMASEnabled); }
  bool isNetworkBackgroundSessionEnabled() { return boolValue(APMSettings::kNetworkBackgroundSessionEnabled); }
  bool efficientEngagementReportingEnabled() { return boolValue(APMSettings::kEfficientEngagementReportingEnabled); }
  bool redundantEngagementRemovalEnabled() { return boolValue(APMSettings::kRedundantEngagementRemovalEnabled); }
  bool blocklistInternal() { return boolValue(APMSettings::kBlocklistInternal); }
  bool blocklistPublic() { return boolValue(APMSettings::kBlocklistPublic); }
  bool isEventSamplingEnabled() { return boolValue(APMSettings::kEventSamplingEnabled); }
  bool checksumEnabled() { return boolValue(APMSettings::kChecksumEnabled); }
  bool appInBackgroundParameterEnabled() { return boolValue(APMSettings::kAppInBackgroundParameterEnabled); }
  bool adsOnDeviceConversionFeatureEnabled() { return boolValue(APMSettings::kAdsOnDeviceConversionFeatureEnabled); }
  bool isDeferredDeepLinkEnabled() { return boolValue(APMSettings::kDeferredDeepLinkEnabled); }
  bool SKANUpdateConversionValueEnabled() { return boolValue(APMSettings::kSKANUpdateConversionValueEnabled); }
  bool sessionStitchingTokenFeatureEnabled();
  bool customerTypeEnabled();

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
  void cacheValueLocked(const std::string& key, const std::optional<platform::Object>& value);
  std::string hostForUpload() const;

  bool isDefaultInstance_ = false;
  std::string appID_;
  std::weak_ptr<APMDatabase> database_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient_;

  // Guards every cache below: a parse on the worker queue rewrites them while getters on other
  // queues read them, and a getter turns a setting's text into its validated number.
  mutable std::mutex mutex_;
  platform::Dictionary cachedValueByRemoteConfigKeys_;
  std::map<std::string, std::shared_ptr<APMPBEventConfig>> cachedEventConfigByEventName_;
  platform::Dictionary cachedExperimentFlags_;
  platform::Dictionary cachedConsentDefaults_;
  platform::Dictionary cachedConsentDelegations_;
  platform::Dictionary cachedRegionalDefaults_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
  std::vector<std::string> cachedDataControls_;
  std::set<std::string> cachedCorePlatformServices_;
  bool isDMARegion_ = true;
  bool hasNewSnapshot_ = false;
  std::shared_ptr<APMRemoteConfigEventEditing> eventEditing_;
};
