#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "../../Messages/ProtocEncoding.h"
#include "../../Store/StoreTestSupport.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "RemoteConfig/APMRemoteConfigEngineHooks.h"
#include "platform/Bundle.h"

namespace {

constexpr const char* kAppID = "1:123456:macos:abcdef";

using Settings = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<APMPBMeasurementConfig> makeConfig(const Settings& settings, const std::string& appID = kAppID) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetInt64(*config, 0, 7);
  APMNanoSetString(*config, 1, appID);
  std::vector<std::shared_ptr<APMPBSetting>> list;
  for (const auto& [name, value] : settings) {
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, 0, name);
    APMNanoSetString(*setting, 1, value);
    list.push_back(setting);
  }
  APMNanoSetRepeatedField(*config, 3, list);
  return config;
}

std::shared_ptr<APMPBConsentDefaultEntry> consentEntry(int32_t type, int32_t mode) {
  auto entry = APMPBConsentDefaultEntry::initWithMessageInfo();
  APMNanoSetInt32(*entry, 0, type);
  APMNanoSetInt32(*entry, 1, mode);
  return entry;
}

class RemoteConfigTest : public APMDatabaseFixture {
 protected:
  void TearDown() override {
    APMDatabaseFixture::TearDown();
    APMRemoteConfigEngineHooks::setEngineHooks({});
    APMRemoteConfigNetwork::setAnalyticsServiceHost("analytics.measurement.invalid");
    platform::Bundle::reset();
  }

  // A configuration created from this message on the worker, as the engine creates one.
  std::shared_ptr<APMRemoteConfig> configFrom(const std::shared_ptr<APMPBMeasurementConfig>& message) {
    std::shared_ptr<APMRemoteConfig> config;
    onWorker([&] { config = APMRemoteConfig::create(kAppID, db_, message, persisted_); });
    return config;
  }
  std::shared_ptr<APMRemoteConfig> configWith(const Settings& settings) { return configFrom(makeConfig(settings)); }
  // The configuration a restarted process reads back from the database.
  std::shared_ptr<APMRemoteConfig> reopened() {
    std::shared_ptr<APMRemoteConfig> config;
    onWorker([&] { config = APMRemoteConfig::create(kAppID, db_, persisted_); });
    return config;
  }

  std::shared_ptr<APMPersistedConfig> persisted_ =
      std::make_shared<APMPersistedConfig>(dataDirectory_.path() + "/persisted.plist");
};

// The text that configures a value (time settings are configured in milliseconds).
std::string textFor(const APMSettingDefinition& setting, double value) {
  std::ostringstream out;
  out.precision(17);
  out << (setting.reader == APMSettingReader::kTimeSeconds ? value * 1000 : value);
  return out.str();
}

// A value inside the bounds that differs from the default.
double inRangeValue(const APMSettingDefinition& setting) {
  double candidate = setting.maxValue ? *setting.maxValue : setting.defaultValue + 1;
  if (candidate == setting.defaultValue) candidate = setting.minValue ? *setting.minValue : setting.defaultValue - 1;
  return candidate;
}

TEST_F(RemoteConfigTest, EverySettingAnswersDefaultValueOrDefaultAgain) {
  size_t count = 0;
  const APMSettingDefinition* const* all = APMSettings::all(&count);
  Settings inRange, outOfRange, garbage;
  for (size_t i = 0; i < count; ++i) {
    const auto& s = *all[i];
    inRange.push_back({s.key, textFor(s, inRangeValue(s))});
    // An unbounded setting has no out-of-range value: it keeps its default there.
    if (s.maxValue || s.minValue) outOfRange.push_back({s.key, textFor(s, s.maxValue ? *s.maxValue + 1 : *s.minValue - 1)});
    garbage.push_back({s.key, "twelve"});
  }
  auto absentConfig = configWith({});
  auto inRangeConfig = configWith(inRange);
  auto outOfRangeConfig = configWith(outOfRange);
  auto garbageConfig = configWith(garbage);
  ASSERT_TRUE(absentConfig && inRangeConfig && outOfRangeConfig && garbageConfig);
  for (size_t i = 0; i < count; ++i) {
    const auto& s = *all[i];
    SCOPED_TRACE(s.key);
    EXPECT_DOUBLE_EQ(absentConfig->settings().settingValue(s), s.defaultValue);
    EXPECT_DOUBLE_EQ(inRangeConfig->settings().settingValue(s), inRangeValue(s));
    EXPECT_DOUBLE_EQ(outOfRangeConfig->settings().settingValue(s), s.defaultValue);
    EXPECT_DOUBLE_EQ(garbageConfig->settings().settingValue(s), s.defaultValue);
    // A second read answers from the validated cache, with the same value.
    EXPECT_DOUBLE_EQ(inRangeConfig->settings().settingValue(s), inRangeValue(s));
  }
}

// The settings table of the design, pinned here as literals (not read from the code's table): key,
// whether it is a time setting (configured in milliseconds, answered in seconds), default,
// maximum and minimum. Booleans read through the integer reader with maximum 1 and minimum 0.
struct PinnedSetting {
  const char* key;
  bool time;
  double defaultValue, maxValue, minValue;
};
constexpr PinnedSetting kPinnedSettings[] = {
    {"measurement.upload.backoff_period", true, 43200, 604800, 3600},
    {"measurement.upload.stale_data_deletion_interval", true, 86400, 604800, 3600},
    {"measurement.upload.max_queue_time", true, 2419200, 7862400, 604800},
    {"measurement.ad_id_cache_time", true, 1, 86400, 0},
    {"measurement.monitoring.sample_period_millis", true, 86400, 604800, 0},
    {"measurement.network.network_timeout", true, 60, 3600, 30},
    {"measurement.session.default_timeout_interval", true, 1800, 86400, 0},
    {"measurement.session.event_user_engagement_interval", true, 3600, 86400, 0},
    {"measurement.upload.interval", true, 3600, 86400, 15},
    {"measurement.upload.initial_upload_delay_time", true, 15, 86400, 1},
    {"measurement.upload.retry_time", true, 1800, 86400, 60},
    {"measurement.upload.max_bundles_created_per_iteration", true, 100, 10000, 1},
    {"measurement.upload.debug_upload_interval", true, 1, 15, 1},
    {"measurement.upload.realtime_upload_interval", true, 10, 15, 10},
    {"measurement.psm_retry_interval", true, 300, 1800, 30},
    {"measurement.attribution.cache.ttl", true, 604800, 2592000, 86400},
    {"measurement.config.cache_time", true, 3600, 86400, 60},
    {"measurement.skan.initial_cv_fetch_delay_sec", true, 120, 3600, 30},
    {"measurement.skan.cv_fetch_retry_interval_sec", true, 120, 3600, 30},
    {"measurement.skan.first_window.initial_cv_fetch_delay_sec", true, 20, 3600, 1},
    {"measurement.skan.first_window.cv_fetch_retry_interval_sec", true, 120, 3600, 30},
    {"measurement.skan.first_window.upload_interval_sec", true, 1800, 86400, 15},
    {"measurement.audience.max_count", false, 100, 500, 0},
    {"measurement.audience.filter_max_count_per_audience", false, 10, 100, 0},
    {"measurement.audience.filter_result_max_count", false, 200, 2000, 0},
    {"measurement.audience.parameter_max_count_filter", false, 25, 250, 0},
    {"measurement.upload.max_conversions_per_day", false, 10000, 1000000, 0},
    {"measurement.upload.max_events_per_day", false, 100000, 1000000, 0},
    {"measurement.upload.max_public_events_per_day", false, 50000, 1000000, 0},
    {"measurement.upload.max_error_events_per_day", false, 1000, 1000000, 0},
    {"measurement.lifetimevalue.max_currency_tracked", false, 4, 100, 1},
    {"measurement.upload.max_public_user_properties", false, 100, 100, 25},
    {"measurement.upload.max_event_name_cardinality", false, 2000, 2000, 500},
    {"measurement.upload.max_public_event_params", false, 100, 100, 25},
    {"measurement.store.max_stored_events_per_app", false, 100000, 1000000, 0},
    {"measurement.upload.retry_count", false, 6, 24, 1},
    {"measurement.upload.max_realtime_events_per_day", false, 10, 10, 0},
    {"measurement.account.time_zone_offset_minutes", false, 0, 900, -900},
    {"measurement.upload.max_item_scoped_custom_parameters", false, 27, 35, 10},
    {"measurement.upload.max_event_parameter_value_length", false, 500, 500, 100},
    {"measurement.dma.dcu_event_max_realtime_daily_count", false, 1, 10, 0},
    {"measurement.psm_start_count", false, 3, 10, 0},
    {"measurement.psm_retry_count", false, 5, 10, 0},
    {"measurement.psm_prefix_email", false, 14, 20, 6},
    {"measurement.psm_prefix_phone", false, 11, 18, 6},
    {"measurement.psm_signin_delay", false, 60, 90, 7},
    {"measurement.ddl.retry_count", false, 5, 10, 0},
    {"measurement.skan.cv_fetch_retry_limit", false, 4, 10, 1},
    {"measurement.skan.first_window.cv_fetch_retry_limit", false, 4, 10, 1},
    {"measurement.upload.max_bundles", false, 100, 10000, 1},
    {"measurement.upload.max_events_per_bundle", false, 1000, 1000000, 1},
    {"measurement.upload.max_batch_size", false, 65536, 10485760, 0},
    {"measurement.sstg_upload_enabled", false, 1, 1, 0},
    {"measurement.attmas_gate", false, 0, 1, 0},
    {"measurement.network.background_session_enabled", false, 0, 1, 0},
    {"measurement.collection.efficient_engagement_reporting_enabled", false, 0, 1, 0},
    {"measurement.collection.redundant_engagement_removal_enabled", false, 0, 1, 0},
    {"measurement.upload.blacklist_internal", false, 0, 1, 0},
    {"measurement.upload.blacklist_public", false, 0, 1, 0},
    {"measurement.event_sampling_enabled", false, 0, 1, 0},
    {"measurement.quality.checksum", false, 0, 1, 0},
    {"measurement.lifecycle.app_in_background_parameter", false, 1, 1, 0},
    {"measurement.odm2_enabled", false, 0, 1, 0},
    {"measurement.ddl.enabled", false, 1, 1, 0},
    {"measurement.skan.update_conversion_value_enabled", false, 0, 1, 0},
    {"measurement.session_stitching_token_enabled", false, 0, 1, 0},
    {"measurement.customer_type_enabled", false, 1, 1, 0},
};

// Every setting answers its default when absent, takes its bounds and refuses what lies beyond them.
TEST_F(RemoteConfigTest, EverySettingHasTheDefaultAndBoundsOfTheSettingsTable) {
  size_t count = 0;
  const APMSettingDefinition* const* all = APMSettings::all(&count);
  std::map<std::string, const APMSettingDefinition*> byKey;
  for (size_t i = 0; i < count; ++i) byKey[all[i]->key] = all[i];
  ASSERT_EQ(count, std::size(kPinnedSettings));
  auto text = [](const PinnedSetting& setting, double seconds) {
    std::ostringstream out;
    out.precision(17);
    out << (setting.time ? seconds * 1000 : seconds);
    return out.str();
  };
  Settings atMax, overMax, atMin, underMin;
  for (const auto& pinned : kPinnedSettings) {
    atMax.push_back({pinned.key, text(pinned, pinned.maxValue)});
    overMax.push_back({pinned.key, text(pinned, pinned.maxValue + 1)});
    atMin.push_back({pinned.key, text(pinned, pinned.minValue)});
    underMin.push_back({pinned.key, text(pinned, pinned.minValue - 1)});
  }
  auto absentConfig = configWith({});
  auto atMaxConfig = configWith(atMax);
  auto overMaxConfig = configWith(overMax);
  auto atMinConfig = configWith(atMin);
  auto underMinConfig = configWith(underMin);
  ASSERT_TRUE(absentConfig && atMaxConfig && overMaxConfig && atMinConfig && underMinConfig);
  for (const auto& pinned : kPinnedSettings) {
    SCOPED_TRACE(pinned.key);
    auto found = byKey.find(pinned.key);
    ASSERT_NE(found, byKey.end());
    const APMSettingDefinition& setting = *found->second;
    EXPECT_DOUBLE_EQ(absentConfig->settings().settingValue(setting), pinned.defaultValue);
    EXPECT_DOUBLE_EQ(atMaxConfig->settings().settingValue(setting), pinned.maxValue);
    EXPECT_DOUBLE_EQ(overMaxConfig->settings().settingValue(setting), pinned.defaultValue);
    EXPECT_DOUBLE_EQ(atMinConfig->settings().settingValue(setting), pinned.minValue);
    EXPECT_DOUBLE_EQ(underMinConfig->settings().settingValue(setting), pinned.defaultValue);
  }
}

TEST_F(RemoteConfigTest, TimeTextsAreMillisecondsAndOutOfRangeNeverClamps) {
  struct Case {
    const char* key;
    const char* text;
    std::function<double(APMRemoteConfig&)> read;
    double expected;
  };
  const Case cases[] = {
      {"measurement.upload.interval", "30000", [](APMRemoteConfig& c) { return c.uploadLimits().uploadingInterval(); }, 30},
      {"measurement.upload.interval", "5000", [](APMRemoteConfig& c) { return c.uploadLimits().uploadingInterval(); }, 3600},
      {"measurement.upload.interval", "15999.9", [](APMRemoteConfig& c) { return c.uploadLimits().uploadingInterval(); }, 15.999},
      {"measurement.upload.max_event_parameter_value_length", "100",
       [](APMRemoteConfig& c) { return c.eventLimits().maxInternalEventParameterValueLength(); }, 256},
      {"measurement.account.time_zone_offset_minutes", "-900",
       [](APMRemoteConfig& c) { return c.uploadLimits().analyticsAccountTimeZoneOffsetMinutes(); }, -900},
      {"measurement.upload.max_batch_size", "99999999999999999999",
       [](APMRemoteConfig& c) { return static_cast<double>(c.uploadLimits().uploadMaxSizeLimitBytes()); }, 65536},
      {"measurement.upload.backoff_period", "1e30",
       [](APMRemoteConfig& c) { return c.uploadLimits().uploadingBackoffInterval(); }, 43200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.text);
    EXPECT_DOUBLE_EQ(c.read(*configWith({{c.key, c.text}})), c.expected);
  }
}

// Each getter of the configuration's parts reads its own key and no other: a configuration that
// sets one key moves exactly that getter off its default.
struct KeyedGetter {
  const char* key;
  const char* text;
  double (*read)(APMRemoteConfig&);
  double defaultValue, configured;
};
const KeyedGetter kKeyedGetters[] = {
      {"measurement.upload.backoff_period", "604800000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingBackoffInterval(); }, 43200, 604800},
      {"measurement.upload.stale_data_deletion_interval", "604800000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().databaseDeleteStaleBundlesInterval(); }, 86400, 604800},
      {"measurement.upload.max_queue_time", "7862400000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().maxQueueTime(); }, 2419200, 7862400},
      {"measurement.ad_id_cache_time", "86400000", [](APMRemoteConfig& c) -> double { return c.reporters().adIDCacheTime(); }, 1, 86400},
      {"measurement.monitoring.sample_period_millis", "604800000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().monitoringSamplePeriod(); }, 86400, 604800},
      {"measurement.session.default_timeout_interval", "86400000", [](APMRemoteConfig& c) -> double { return c.reporters().sessionDefaultTimeoutInterval(); }, 1800, 86400},
      {"measurement.session.event_user_engagement_interval", "86400000", [](APMRemoteConfig& c) -> double { return c.reporters().sessionEventUserEngagementInterval(); }, 3600, 86400},
      {"measurement.upload.interval", "86400000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingInterval(); }, 3600, 86400},
      {"measurement.upload.initial_upload_delay_time", "86400000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingInitialDelayInterval(); }, 15, 86400},
      {"measurement.upload.retry_time", "86400000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingRetryInterval(); }, 1800, 86400},
      {"measurement.upload.debug_upload_interval", "15000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingDebugModeInterval(); }, 1, 15},
      {"measurement.upload.realtime_upload_interval", "15000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingRealTimeInterval(); }, 10, 15},
      {"measurement.psm_retry_interval", "1800000", [](APMRemoteConfig& c) -> double { return c.reporters().PSMRetryInterval(); }, 300, 1800},
      {"measurement.attribution.cache.ttl", "2592000000", [](APMRemoteConfig& c) -> double { return c.reporters().attributionCacheTTLInterval(); }, 604800, 2592000},
      {"measurement.skan.initial_cv_fetch_delay_sec", "3600000", [](APMRemoteConfig& c) -> double { return c.reporters().SKANInitialCVFetchDelay(); }, 120, 3600},
      {"measurement.skan.cv_fetch_retry_interval_sec", "3600000", [](APMRemoteConfig& c) -> double { return c.reporters().SKANCVFetchRetryInterval(); }, 120, 3600},
      {"measurement.skan.first_window.initial_cv_fetch_delay_sec", "3600000", [](APMRemoteConfig& c) -> double { return c.reporters().SKANFirstWindowCVFetchDelay(); }, 20, 3600},
      {"measurement.skan.first_window.cv_fetch_retry_interval_sec", "3600000", [](APMRemoteConfig& c) -> double { return c.reporters().SKANFirstWindowCVFetchRetryInterval(); }, 120, 3600},
      {"measurement.skan.first_window.upload_interval_sec", "86400000", [](APMRemoteConfig& c) -> double { return c.reporters().SKANFirstWindowUploadInterval(); }, 1800, 86400},
      {"measurement.audience.max_count", "500", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxAudienceCount(); }, 100, 500},
      {"measurement.audience.filter_max_count_per_audience", "100", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxFiltersPerAudience(); }, 10, 100},
      {"measurement.audience.filter_result_max_count", "2000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxFilterResultCount(); }, 200, 2000},
      {"measurement.audience.parameter_max_count_filter", "250", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxParametersPerFilter(); }, 25, 250},
      {"measurement.upload.max_conversions_per_day", "1000000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxConversionsPerDay(); }, 10000, 1000000},
      {"measurement.upload.max_events_per_day", "1000000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxEventsPerDay(); }, 100000, 1000000},
      {"measurement.upload.max_public_events_per_day", "1000000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxPublicEventsPerDay(); }, 50000, 1000000},
      {"measurement.upload.max_error_events_per_day", "1000000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxErrorEventsPerDay(); }, 1000, 1000000},
      {"measurement.lifetimevalue.max_currency_tracked", "100", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxTrackedCurrencies(); }, 4, 100},
      {"measurement.upload.max_public_user_properties", "25", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxPublicUserProperties(); }, 100, 25},
      {"measurement.upload.max_event_name_cardinality", "500", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxEventNameCardinality(); }, 2000, 500},
      {"measurement.upload.max_public_event_params", "25", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxPublicEventParams(); }, 100, 25},
      {"measurement.store.max_stored_events_per_app", "1000000", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxEventsStored(); }, 100000, 1000000},
      {"measurement.upload.retry_count", "24", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadingRetryCount(); }, 6, 24},
      {"measurement.upload.max_realtime_events_per_day", "0", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxRealtimeEventCountPerDay(); }, 10, 0},
      {"measurement.account.time_zone_offset_minutes", "900", [](APMRemoteConfig& c) -> double { return c.uploadLimits().analyticsAccountTimeZoneOffsetMinutes(); }, 0, 900},
      {"measurement.upload.max_item_scoped_custom_parameters", "35", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxItemScopedCustomParameters(); }, 27, 35},
      {"measurement.upload.max_event_parameter_value_length", "100", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxPublicEventParameterValueLength(); }, 500, 100},
      {"measurement.dma.dcu_event_max_realtime_daily_count", "10", [](APMRemoteConfig& c) -> double { return c.eventLimits().maxRealtimeDCUEventCountPerDay(); }, 1, 10},
      {"measurement.psm_retry_count", "10", [](APMRemoteConfig& c) -> double { return c.reporters().maxPSMRetryCount(); }, 5, 10},
      {"measurement.psm_prefix_email", "20", [](APMRemoteConfig& c) -> double { return c.reporters().hashPrefixBitLengthEmail(); }, 14, 20},
      {"measurement.psm_prefix_phone", "18", [](APMRemoteConfig& c) -> double { return c.reporters().hashPrefixBitLengthPhone(); }, 11, 18},
      {"measurement.psm_signin_delay", "90", [](APMRemoteConfig& c) -> double { return c.reporters().maxSignInDelayInDays(); }, 60, 90},
      {"measurement.ddl.retry_count", "10", [](APMRemoteConfig& c) -> double { return c.reporters().maxDeferredDeepLinkRetryCount(); }, 5, 10},
      {"measurement.skan.cv_fetch_retry_limit", "10", [](APMRemoteConfig& c) -> double { return c.reporters().SKANCVFetchRetryLimit(); }, 4, 10},
      {"measurement.skan.first_window.cv_fetch_retry_limit", "10", [](APMRemoteConfig& c) -> double { return c.reporters().SKANFirstWindowCVFetchRetryLimit(); }, 4, 10},
      {"measurement.upload.max_bundles", "10000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadMaxBundlesLimit(); }, 100, 10000},
      {"measurement.upload.max_events_per_bundle", "1000000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadMaxEventsPerBundle(); }, 1000, 1000000},
      {"measurement.upload.max_batch_size", "10485760", [](APMRemoteConfig& c) -> double { return c.uploadLimits().uploadMaxSizeLimitBytes(); }, 65536, 10485760},
      {"measurement.attmas_gate", "1", [](APMRemoteConfig& c) -> double { return c.features().gateIDFAOnATTMASEnabled(); }, 0, 1},
      {"measurement.collection.efficient_engagement_reporting_enabled", "1", [](APMRemoteConfig& c) -> double { return c.features().efficientEngagementReportingEnabled(); }, 0, 1},
      {"measurement.collection.redundant_engagement_removal_enabled", "1", [](APMRemoteConfig& c) -> double { return c.features().redundantEngagementRemovalEnabled(); }, 0, 1},
      {"measurement.upload.blacklist_internal", "1", [](APMRemoteConfig& c) -> double { return c.features().blocklistInternal(); }, 0, 1},
      {"measurement.upload.blacklist_public", "1", [](APMRemoteConfig& c) -> double { return c.features().blocklistPublic(); }, 0, 1},
      {"measurement.event_sampling_enabled", "1", [](APMRemoteConfig& c) -> double { return c.features().isEventSamplingEnabled(); }, 0, 1},
      {"measurement.quality.checksum", "1", [](APMRemoteConfig& c) -> double { return c.features().checksumEnabled(); }, 0, 1},
      {"measurement.lifecycle.app_in_background_parameter", "0", [](APMRemoteConfig& c) -> double { return c.features().appInBackgroundParameterEnabled(); }, 1, 0},
      {"measurement.odm2_enabled", "1", [](APMRemoteConfig& c) -> double { return c.features().adsOnDeviceConversionFeatureEnabled(); }, 0, 1},
      {"measurement.ddl.enabled", "0", [](APMRemoteConfig& c) -> double { return c.features().isDeferredDeepLinkEnabled(); }, 1, 0},
      {"measurement.skan.update_conversion_value_enabled", "1", [](APMRemoteConfig& c) -> double { return c.features().SKANUpdateConversionValueEnabled(); }, 0, 1},
      {"measurement.upload.max_bundles_created_per_iteration", "10000000", [](APMRemoteConfig& c) -> double { return c.uploadLimits().maxBundlesCreatedPerIteration(); }, 100, 10000},
      {"measurement.psm_start_count", "10", [](APMRemoteConfig& c) -> double { return c.reporters().maxPSMStartCount(); }, 3, 10},
};

TEST_F(RemoteConfigTest, EachGetterOfThePartsReadsItsOwnKey) {
  auto defaults = configWith({});
  ASSERT_TRUE(defaults);
  for (const auto& getter : kKeyedGetters) EXPECT_DOUBLE_EQ(getter.read(*defaults), getter.defaultValue) << getter.key;
  for (const auto& configured : kKeyedGetters) {
    SCOPED_TRACE(configured.key);
    auto config = configWith({{configured.key, configured.text}});
    ASSERT_TRUE(config);
    for (const auto& getter : kKeyedGetters) {
      const double expected = &getter == &configured ? getter.configured : getter.defaultValue;
      EXPECT_DOUBLE_EQ(getter.read(*config), expected) << getter.key;
    }
  }
}

TEST_F(RemoteConfigTest, ReadingReplacesTheTextByTheValidatedNumber) {
  auto config = configWith({{"measurement.upload.interval", "abc"}, {"measurement.config.cache_time", "120000"}});
  auto before = config->programs().settingsForPrograms();
  EXPECT_EQ(before["measurement.upload.interval"], platform::Object("abc"));
  EXPECT_EQ(config->uploadLimits().uploadingInterval(), 3600);
  EXPECT_EQ(config->message().remoteConfigCacheTimeInterval(), 120);
  auto after = config->programs().settingsForPrograms();
  EXPECT_EQ(after["measurement.upload.interval"], platform::Object("3600"));
  EXPECT_EQ(after["measurement.config.cache_time"], platform::Object("120"));
}

// What programs see of a read number is plain decimal text, as the settings' own texts are: a whole
// number of seconds with trailing zeros is no exponent form, a fraction keeps its point.
TEST_F(RemoteConfigTest, ProgramsSeeAReadNumberAsPlainDecimalText) {
  auto config = configWith({{"measurement.upload.max_queue_time", "4000000000"},
                            {"measurement.ad_id_cache_time", "1500"},
                            {"measurement.network.network_timeout", "100000"}});
  ASSERT_TRUE(config);
  EXPECT_EQ(config->uploadLimits().maxQueueTime(), 4000000);
  EXPECT_EQ(config->reporters().adIDCacheTime(), 1.5);
  EXPECT_EQ(config->network().networkTimeout(), 100);
  auto seen = config->programs().settingsForPrograms();
  EXPECT_EQ(seen["measurement.upload.max_queue_time"], platform::Object("4000000"));
  EXPECT_EQ(seen["measurement.ad_id_cache_time"], platform::Object("1.5"));
  EXPECT_EQ(seen["measurement.network.network_timeout"], platform::Object("100"));
}

// A reader may keep what it read while the generation stands: every change moves it, a reading
// (which turns a text into its number) never does.
TEST_F(RemoteConfigTest, TheSettingsGenerationMovesWithEveryChangeAndNoReading) {
  APMSettingsCache cache;
  const struct {
    const char* what;
    std::function<void()> step;
    bool moves;
  } steps[] = {
      {"texts replaced", [&] { cache.replaceTexts({{"measurement.upload.backoff_period", "7200000"}}); }, true},
      {"a text read", [&] { EXPECT_EQ(cache.timeIntervalInSeconds(APMSettings::kUploadingBackoffInterval), 7200); }, false},
      {"a default read", [&] { EXPECT_EQ(cache.intValue(APMSettings::kMaxEventsPerDay), 100000); }, false},
      {"a number cached", [&] { cache.cacheNumber("measurement.upload.backoff_period", platform::Object(5)); }, true},
      {"the same texts again", [&] { cache.replaceTexts({{"measurement.upload.backoff_period", "7200000"}}); }, true},
      {"cleared", [&] { cache.clear(); }, true},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    const uint64_t before = cache.generation();
    s.step();
    EXPECT_EQ(cache.generation() != before, s.moves);
  }
}

TEST_F(RemoteConfigTest, EventConfigurationsAnswerByInternalName) {
  auto message = makeConfig({{"measurement.upload.blacklist_internal", "1"}});
  std::vector<std::shared_ptr<APMPBEventConfig>> events;
  auto add = [&](const std::string& name, std::optional<bool> blocked, std::optional<bool> conversion,
                 std::optional<int32_t> rate) {
    auto event = APMPBEventConfig::initWithMessageInfo();
    APMNanoSetString(*event, 0, name);
    if (blocked) APMNanoSetBool(*event, 1, *blocked);
    if (conversion) APMNanoSetBool(*event, 2, *conversion);
    if (rate) APMNanoSetInt32(*event, 3, *rate);
    events.push_back(event);
  };
  add("level_up", true, std::nullopt, 1);
  add("first_open", false, true, 70000);
  add("purchase", std::nullopt, false, 10);
  add("", true, true, 5);
  APMNanoSetRepeatedField(*message, 4, events);
  auto config = configFrom(message);

  EXPECT_TRUE(config->eventRules().isEventBlocklisted("level_up"));
  EXPECT_FALSE(config->eventRules().isEventBlocklisted("purchase"));
  // "first_open" is stored under its internal name "_f"; an explicit NO falls through to the
  // internal block-list setting.
  EXPECT_TRUE(config->eventRules().isEventBlocklisted("_f"));
  EXPECT_TRUE(config->eventRules().isEventBlocklisted("_unknown_internal"));
  EXPECT_EQ(config->eventRules().eventConfigWithName("first_open"), nullptr);
  EXPECT_TRUE(config->eventRules().isEventCustomConversion("_f"));
  EXPECT_FALSE(config->eventRules().isEventCustomConversion("purchase"));
  EXPECT_EQ(config->eventRules().samplingRateForEvent("_f"), 1);
  EXPECT_EQ(config->eventRules().samplingRateForEvent("purchase"), 10);
  EXPECT_EQ(config->eventRules().samplingRateForEvent("missing"), 1);
  EXPECT_EQ(config->eventRules().eventConfigWithName(""), nullptr);
}

TEST_F(RemoteConfigTest, ARefusedOrUnstoredConfigurationKeepsThePreviousOne) {
  auto config = configWith({{"measurement.upload.retry_count", "9"}});
  bool otherApp = true, unstored = true;
  onWorker([&] { otherApp = config->updateMeasurementConfig(makeConfig({{"measurement.upload.retry_count", "3"}}, "1:other")); });
  EXPECT_FALSE(otherApp);
  EXPECT_EQ(reopened()->uploadLimits().uploadingRetryCount(), 9);
  onWorker([&] {
    db_->closeAndDeleteDatabase();
    unstored = config->updateMeasurementConfig(makeConfig({{"measurement.upload.retry_count", "3"}}));
  });
  EXPECT_FALSE(unstored);
  EXPECT_EQ(config->uploadLimits().uploadingRetryCount(), 9);
}

std::shared_ptr<APMPBConsentDelegationEntry> delegationEntry(int32_t type, int32_t delegateType) {
  auto entry = APMPBConsentDelegationEntry::initWithMessageInfo();
  APMNanoSetInt32(*entry, 0, type);
  APMNanoSetInt32(*entry, 1, delegateType);
  return entry;
}

// Types and modes outside their enumerations (9, -1) read as the empty string, also when the
// configuration is decoded again from its stored bytes (the sanitizer build fails if any reader
// loads them through the enum type).
TEST_F(RemoteConfigTest, ConsentCachesComeFromTheConsentConfiguration) {
  // A stored configuration without settings is not parsed at all.
  auto message = makeConfig({{"measurement.upload.interval", "60000"}});
  auto consent = APMPBConsentConfig::initWithMessageInfo();
  APMNanoSetRepeatedField(*consent, 0,
                          std::vector{consentEntry(1, 2), consentEntry(2, 1), consentEntry(9, 1), consentEntry(3, -1)});
  APMNanoSetRepeatedField(*consent, 1, std::vector{delegationEntry(3, 1), delegationEntry(-1, 2), delegationEntry(4, 9)});
  APMNanoSetBool(*consent, 3, false);
  APMNanoSetRepeatedField(*consent, 4, std::vector{consentEntry(4, 2), consentEntry(-1, 9)});
  APMNanoSetMessage(*message, 12, consent);

  for (const auto& c : {configFrom(message), reopened()}) {
    EXPECT_EQ(c->consent().consentDefaults(), (platform::Dictionary{{"ad_storage", "denied"},
                                                          {"analytics_storage", "granted"},
                                                          {"", "granted"},
                                                          {"ad_user_data", ""}}));
    EXPECT_EQ(c->consent().consentDelegations(), (platform::Dictionary{{"ad_user_data", "ad_storage"},
                                                             {"", "analytics_storage"},
                                                             {"ad_personalization", ""}}));
    EXPECT_EQ(c->consent().regionalDefaults(), (platform::Dictionary{{"ad_personalization", "denied"}, {"", ""}}));
    EXPECT_FALSE(c->consent().isDMARegion());
  }
  auto config = configFrom(message);
  config->reset();
  EXPECT_TRUE(config->consent().consentDefaults().empty());
  EXPECT_TRUE(config->consent().isDMARegion());
  EXPECT_EQ(config->message().version(), -1);
}

// The PSM numbers and the data controls sit in fields of their own, read at their wire places;
// the PSM numbers are taken as served, outside the settings' bounds too, and each keeps its key.
TEST_F(RemoteConfigTest, PSMNumbersAndDataControlsComeFromTheirOwnFields) {
  auto message = makeConfig({});
  auto psm = APMPBPsmSetting::initWithMessageInfo();
  APMNanoSetInt32(*psm, 0, 3);
  APMNanoSetInt32(*psm, 1, 25);
  APMNanoSetInt32(*psm, 2, 1);
  APMNanoSetMessage(*message, 13, psm);
  std::vector<std::shared_ptr<APMPBDataControl>> controls;
  for (const char* name : {"first_control", "second_control"}) {
    auto control = APMPBDataControl::initWithMessageInfo();
    APMNanoSetString(*control, 0, name);
    controls.push_back(control);
  }
  APMNanoSetRepeatedField(*message, 9, controls);

  auto config = configFrom(message);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->reporters().hashPrefixBitLengthEmail(), 3);
  EXPECT_EQ(config->reporters().hashPrefixBitLengthPhone(), 25);
  EXPECT_EQ(config->reporters().maxSignInDelayInDays(), 1);
  EXPECT_EQ(config->consent().dataControls(), (std::vector<std::string>{"first_control", "second_control"}));
}

// A configuration without a consent message empties the consent values but keeps the DMA region
// the previous one set; only a reset goes back to a DMA region.
TEST_F(RemoteConfigTest, AConfigurationWithoutConsentKeepsTheDMARegion) {
  auto message = makeConfig({});
  auto consent = APMPBConsentConfig::initWithMessageInfo();
  APMNanoSetRepeatedField(*consent, 0, std::vector{consentEntry(1, 1)});
  APMNanoSetBool(*consent, 3, false);
  APMNanoSetMessage(*message, 12, consent);
  auto config = configFrom(message);
  ASSERT_FALSE(config->consent().isDMARegion());
  ASSERT_EQ(config->consent().consentDefaults(), (platform::Dictionary{{"ad_storage", "granted"}}));

  onWorker([&] { ASSERT_TRUE(config->updateMeasurementConfig(makeConfig({}))); });
  EXPECT_FALSE(config->consent().isDMARegion());
  EXPECT_TRUE(config->consent().consentDefaults().empty());
  config->reset();
  EXPECT_TRUE(config->consent().isDMARegion());
}

// An experiment client whose flags the test sets; activations succeed unless refused.
class FakeExperimentClient : public APMRemoteConfigExperimentClient {
 public:
  bool activateLatestSnapshot(platform::Error* error) override {
    ++activations;
    if (refuse) platform::setError(error, platform::Error("test", 1));
    return !refuse;
  }
  std::optional<platform::Object> flagValue(const std::string& name) override {
    auto it = flags.find(name);
    return it == flags.end() ? std::nullopt : std::optional<platform::Object>(it->second);
  }
  std::vector<int64_t> experimentIDs() override { return {5}; }
  void reset() override { ++resets; }

  std::map<std::string, platform::Object> flags;
  bool refuse = false;
  int activations = 0, resets = 0;
};

// The customer-type switch follows the flag as of the last activation, which happens once per new
// snapshot; the session-stitching switch follows the client's flag as it is now.
TEST_F(RemoteConfigTest, ExperimentFlagsOverrideTheirSwitches) {
  auto client = std::make_shared<FakeExperimentClient>();
  client->flags = {{"customer_type_enabled", false}};
  std::shared_ptr<APMRemoteConfig> config;
  onWorker([&] { config = APMRemoteConfig::create(kAppID, db_, makeConfig({}), persisted_, client); });
  ASSERT_TRUE(config);
  EXPECT_EQ(client->activations, 1);  // what an earlier process fetched
  EXPECT_FALSE(config->features().customerTypeEnabled());
  EXPECT_FALSE(config->features().sessionStitchingTokenFeatureEnabled());

  client->flags = {{"session_stitching_token_feature_enabled", true}};
  EXPECT_TRUE(config->features().sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->features().customerTypeEnabled()) << "cached until the next activation";
  EXPECT_FALSE(config->experiments().activateNewSnapshot()) << "no new snapshot yet";
  EXPECT_EQ(client->activations, 1);

  config->experiments().clientDidReceiveNewSnapshot();
  client->refuse = true;
  EXPECT_FALSE(config->experiments().activateNewSnapshot());
  EXPECT_FALSE(config->features().customerTypeEnabled());
  client->refuse = false;
  EXPECT_TRUE(config->experiments().activateNewSnapshot());
  EXPECT_TRUE(config->features().customerTypeEnabled()) << "the setting's default once the flag is gone";
  EXPECT_FALSE(config->experiments().activateNewSnapshot()) << "the snapshot was activated";
  EXPECT_EQ(config->experiments().experimentIDs(), std::vector<int64_t>{5});

  config->reset();
  EXPECT_EQ(client->resets, 1);
}

TEST_F(RemoteConfigTest, AFailingProgramEndsTheParseBeforeConsentIsApplied) {
  auto message = makeConfig({{"measurement.upload.retry_count", "9"}});
  auto consent = APMPBConsentConfig::initWithMessageInfo();
  APMNanoSetRepeatedField(*consent, 0, std::vector{consentEntry(1, 2)});
  APMNanoSetMessage(*message, 12, consent);
  APMNanoSetRepeatedField(*message, 8, std::vector{APMPBProgram::initWithMessageInfo()});

  int loads = 0;
  APMRemoteConfigPrograms::setEventEditingLoader([&](const APMPBProgram&, const APMRemoteConfig&, platform::Error* error) {
    ++loads;
    platform::setError(error, platform::Error("test", 1));
    return std::shared_ptr<APMRemoteConfigEventEditing>();
  });
  auto config = configFrom(message);
  APMRemoteConfigPrograms::setEventEditingLoader(nullptr);
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(config->programs().eventEditing(), nullptr);
  EXPECT_EQ(config->uploadLimits().uploadingRetryCount(), 9);  // settings were applied before the program
  EXPECT_TRUE(config->consent().consentDefaults().empty());
}

TEST_F(RemoteConfigTest, URLsUseTheServiceHostSubdomainAndQueryOrder) {
  APMRemoteConfigNetwork::setAnalyticsServiceHost("collector.example", "authorized.example");
  auto message = makeConfig({});
  APMNanoSetString(*message, 10, "eu");
  auto config = configFrom(message);
  EXPECT_EQ(config->network().uploadURL(), "https://eu.collector.example/a");
  APMRemoteConfigEngineHooks::setEngineHooks({.appDataConsentStatus = [] { return int64_t{3}; }});
  EXPECT_EQ(config->network().uploadURL(), "https://eu.authorized.example/a");
  EXPECT_EQ(config->network().remoteConfigURL(std::string("macos"), 111500, 230),
            "https://collector.example/config/app/1:123456:macos:abcdef?platform=macos&dmp_version=111500&runtime_version=230");
  EXPECT_EQ(config->network().remoteConfigURL(std::nullopt, 1, 1), std::nullopt);
}

TEST_F(RemoteConfigTest, AServerSubdomainThatIsNotAHostNameNeverLeavesTheServiceHost) {
  APMRemoteConfigNetwork::setAnalyticsServiceHost("collector.example");
  const std::pair<const char*, const char*> cases[] = {
      {"eu-west.r2", "https://eu-west.r2.collector.example/a"}, {"evil.example#", "https://collector.example/a"},
      {"evil.example/x?", "https://collector.example/a"},       {"a..b", "https://collector.example/a"},
      {"-eu", "https://collector.example/a"},                   {"user@evil", "https://collector.example/a"},
  };
  for (const auto& [subdomain, expected] : cases) {
    auto message = makeConfig({});
    APMNanoSetString(*message, 10, std::string(subdomain));
    EXPECT_EQ(configFrom(message)->network().uploadURL(), expected) << subdomain;
  }
}

TEST_F(RemoteConfigTest, ServerSideTaggingNeedsSettingPlistSwitchURLAndRollout) {
  auto message = makeConfig({});
  auto sstg = APMPBSstgSetting::initWithMessageInfo();
  APMNanoSetString(*sstg, 0, "https://tagging.example/collect");
  APMNanoSetString(*sstg, 1, "server-1");
  APMNanoSetString(*sstg, 2, "not a url");
  APMNanoSetInt32(*sstg, 3, 100);
  APMNanoSetMessage(*message, 14, sstg);
  auto config = configFrom(message);

  EXPECT_FALSE(config->network().SSTGUploadEnabled());  // no Info.plist switch
  platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_SSTG_UPLOAD_ENABLED", true);
  EXPECT_TRUE(config->network().SSTGUploadEnabled());  // full rollout, even without an app instance ID
  APMRemoteConfigEngineHooks::setEngineHooks({.appDataConsentStatus = [] { return int64_t{3}; }});
  EXPECT_EQ(config->network().SSTGUploadURL(), "https://tagging.example/collect");  // the authorised URL is invalid
  EXPECT_EQ(config->network().SSTGUploadHTTPHeaders(), (platform::Dictionary{{"x-sstg-server-info", "server-1"}}));

  APMNanoSetInt32(*sstg, 3, 0);
  APMNanoSetMessage(*message, 14, sstg);
  onWorker([&] { ASSERT_TRUE(config->updateMeasurementConfig(message)); });
  persisted_->identifiers().setAppInstanceID("ABCDEF0123456789ABCDEF0123456789");
  EXPECT_FALSE(config->network().SSTGUploadEnabled());  // a 0 % rollout lets nobody in
  APMRemoteConfigEngineHooks::setEngineHooks({.sstgPreviewHeaders = [] { return std::optional<platform::Dictionary>(platform::Dictionary{}); }});
  EXPECT_TRUE(config->network().SSTGUploadEnabled());  // a preview always uploads
}

TEST_F(RemoteConfigTest, ExpiryFollowsTheStoredUpdateTimeAndTheCacheTime) {
  auto config = configWith({{"measurement.config.cache_time", "600000"}});
  clock_->advance(599);
  onWorker([&] { EXPECT_FALSE(config->message().isExpired()); });
  clock_->advance(2);
  onWorker([&] { EXPECT_TRUE(config->message().isExpired()); });

  // The default instance has no stored configuration to age: it never expires.
  auto fallback = APMRemoteConfig::defaultInstance();
  onWorker([&] { EXPECT_FALSE(fallback->message().isExpired()); });
}

TEST_F(RemoteConfigTest, GettersMayRunWhileTheWorkerAppliesNewConfigurations) {
  auto config = configWith({{"measurement.upload.retry_count", "9"}});
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop) {
      int32_t value = config->uploadLimits().uploadingRetryCount();
      if (value != 9 && value != 10) ++bad;
      (void)config->consent().consentDefaults();
      (void)config->eventRules().isEventBlocklisted("x");
    }
  });
  for (int i = 0; i < 50; ++i) {
    onWorker([&] { config->updateMeasurementConfig(makeConfig({{"measurement.upload.retry_count", i % 2 ? "9" : "10"}})); });
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

// A configuration written by protoc's own encoder, not by ours: stored, parsed, and answering the
// same after a reopen.
TEST_F(RemoteConfigTest, ConfigurationEncodedByProtocIsStoredAndAnswers) {
  const std::string text = std::string("version: 42\napp_id: \"") + kAppID +
                           "\"\n"
                           "settings { name: \"measurement.upload.interval\" value: \"60000\" }\n"
                           "settings { name: \"measurement.upload.max_events_per_day\" value: \"2000\" }\n"
                           "event_configs { name: \"tutorial_skip\" is_blocklisted: true }\n"
                           "upload_subdomain: \"region1\"\n"
                           "consent_config { default_entries { type: AD_STORAGE mode: DENIED } dma_region: true }\n";
  const platform::Data bytes = protoctest::protocEncode("MeasurementConfig", "measurement_config.proto", text);
  auto message = APMPBMeasurementConfig::fromBuffer(bytes);
  ASSERT_TRUE(message);

  APMRemoteConfigNetwork::setAnalyticsServiceHost("collector.example");
  for (const auto& c : {configFrom(message), reopened()}) {
    EXPECT_EQ(c->message().version(), 42);
    EXPECT_EQ(c->uploadLimits().uploadingInterval(), 60);
    EXPECT_EQ(c->eventLimits().maxEventsPerDay(), 2000);
    EXPECT_TRUE(c->eventRules().isEventBlocklisted("tutorial_skip"));
    EXPECT_EQ(c->network().uploadURL(), "https://region1.collector.example/a");
    EXPECT_EQ(c->consent().consentDefaults(), (platform::Dictionary{{"ad_storage", "denied"}}));
    EXPECT_TRUE(c->consent().isDMARegion());
  }
}

}  // namespace
