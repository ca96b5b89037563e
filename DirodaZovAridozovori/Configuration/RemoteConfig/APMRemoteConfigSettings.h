#pragma once
// The "measurement." settings: every tunable the measurement SDK reads from the downloaded
// configuration, with its default and bounds. This table is the one place they are defined.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Object.h"

// How a setting's text is read.
enum class APMSettingReader {
  // The text is milliseconds; the value is seconds (the integer part of the text divided by 1000).
  kTimeSeconds,
  kInt32,
  kInt64,
  // An int setting bounded to 0..1; true exactly when it is 1.
  kBool,
};

struct APMSettingDefinition {
  const char* key;
  APMSettingReader reader;
  double defaultValue;
  std::optional<double> maxValue;  // inclusive; none means unbounded
  std::optional<double> minValue;  // inclusive; none means unbounded
};

namespace APMSettings {
// clang-format off
inline constexpr APMSettingDefinition kUploadingBackoffInterval{"measurement.upload.backoff_period", APMSettingReader::kTimeSeconds, 43200, 604800, 3600};
inline constexpr APMSettingDefinition kDatabaseDeleteStaleBundlesInterval{"measurement.upload.stale_data_deletion_interval", APMSettingReader::kTimeSeconds, 86400, 604800, 3600};
inline constexpr APMSettingDefinition kMaxQueueTime{"measurement.upload.max_queue_time", APMSettingReader::kTimeSeconds, 2419200, 7862400, 604800};
inline constexpr APMSettingDefinition kAdIDCacheTime{"measurement.ad_id_cache_time", APMSettingReader::kTimeSeconds, 1, 86400, 0};
inline constexpr APMSettingDefinition kMonitoringSamplePeriod{"measurement.monitoring.sample_period_millis", APMSettingReader::kTimeSeconds, 86400, 604800, 0};
inline constexpr APMSettingDefinition kNetworkTimeout{"measurement.network.network_timeout", APMSettingReader::kTimeSeconds, 60, 3600, 30};
inline constexpr APMSettingDefinition kSessionDefaultTimeoutInterval{"measurement.session.default_timeout_interval", APMSettingReader::kTimeSeconds, 1800, 86400, 0};
inline constexpr APMSettingDefinition kSessionEventUserEngagementInterval{"measurement.session.event_user_engagement_interval", APMSettingReader::kTimeSeconds, 3600, 86400, 0};
inline constexpr APMSettingDefinition kUploadingInterval{"measurement.upload.interval", APMSettingReader::kTimeSeconds, 3600, 86400, 15};
inline constexpr APMSettingDefinition kUploadingInitialDelayInterval{"measurement.upload.initial_upload_delay_time", APMSettingReader::kTimeSeconds, 15, 86400, 1};
inline constexpr APMSettingDefinition kUploadingRetryInterval{"measurement.upload.retry_time", APMSettingReader::kTimeSeconds, 1800, 86400, 60};
inline constexpr APMSettingDefinition kMaxBundlesCreatedPerIteration{"measurement.upload.max_bundles_created_per_iteration", APMSettingReader::kTimeSeconds, 100, 10000, 1};
inline constexpr APMSettingDefinition kUploadingDebugModeInterval{"measurement.upload.debug_upload_interval", APMSettingReader::kTimeSeconds, 1, 15, 1};
inline constexpr APMSettingDefinition kUploadingRealTimeInterval{"measurement.upload.realtime_upload_interval", APMSettingReader::kTimeSeconds, 10, 15, 10};
inline constexpr APMSettingDefinition kPSMRetryInterval{"measurement.psm_retry_interval", APMSettingReader::kTimeSeconds, 300, 1800, 30};
inline constexpr APMSettingDefinition kAttributionCacheTTLInterval{"measurement.attribution.cache.ttl", APMSettingReader::kTimeSeconds, 604800, 2592000, 86400};
inline constexpr APMSettingDefinition kRemoteConfigCacheTimeInterval{"measurement.config.cache_time", APMSettingReader::kTimeSeconds, 3600, 86400, 60};
inline constexpr APMSettingDefinition kSKANInitialCVFetchDelay{"measurement.skan.initial_cv_fetch_delay_sec", APMSettingReader::kTimeSeconds, 120, 3600, 30};
inline constexpr APMSettingDefinition kSKANCVFetchRetryInterval{"measurement.skan.cv_fetch_retry_interval_sec", APMSettingReader::kTimeSeconds, 120, 3600, 30};
inline constexpr APMSettingDefinition kSKANFirstWindowCVFetchDelay{"measurement.skan.first_window.initial_cv_fetch_delay_sec", APMSettingReader::kTimeSeconds, 20, 3600, 1};
inline constexpr APMSettingDefinition kSKANFirstWindowCVFetchRetryInterval{"measurement.skan.first_window.cv_fetch_retry_interval_sec", APMSettingReader::kTimeSeconds, 120, 3600, 30};
inline constexpr APMSettingDefinition kSKANFirstWindowUploadInterval{"measurement.skan.first_window.upload_interval_sec", APMSettingReader::kTimeSeconds, 1800, 86400, 15};
inline constexpr APMSettingDefinition kMaxAudienceCount{"measurement.audience.max_count", APMSettingReader::kInt32, 100, 500, 0};
inline constexpr APMSettingDefinition kMaxFiltersPerAudience{"measurement.audience.filter_max_count_per_audience", APMSettingReader::kInt32, 10, 100, 0};
inline constexpr APMSettingDefinition kMaxFilterResultCount{"measurement.audience.filter_result_max_count", APMSettingReader::kInt32, 200, 2000, 0};
inline constexpr APMSettingDefinition kMaxParametersPerFilter{"measurement.audience.parameter_max_count_filter", APMSettingReader::kInt32, 25, 250, 0};
inline constexpr APMSettingDefinition kMaxConversionsPerDay{"measurement.upload.max_conversions_per_day", APMSettingReader::kInt32, 10000, 1000000, 0};
inline constexpr APMSettingDefinition kMaxEventsPerDay{"measurement.upload.max_events_per_day", APMSettingReader::kInt32, 100000, 1000000, 0};
inline constexpr APMSettingDefinition kMaxPublicEventsPerDay{"measurement.upload.max_public_events_per_day", APMSettingReader::kInt32, 50000, 1000000, 0};
inline constexpr APMSettingDefinition kMaxErrorEventsPerDay{"measurement.upload.max_error_events_per_day", APMSettingReader::kInt32, 1000, 1000000, 0};
inline constexpr APMSettingDefinition kMaxTrackedCurrencies{"measurement.lifetimevalue.max_currency_tracked", APMSettingReader::kInt32, 4, 100, 1};
inline constexpr APMSettingDefinition kMaxPublicUserProperties{"measurement.upload.max_public_user_properties", APMSettingReader::kInt32, 100, 100, 25};
inline constexpr APMSettingDefinition kMaxEventNameCardinality{"measurement.upload.max_event_name_cardinality", APMSettingReader::kInt32, 2000, 2000, 500};
inline constexpr APMSettingDefinition kMaxPublicEventParams{"measurement.upload.max_public_event_params", APMSettingReader::kInt32, 100, 100, 25};
inline constexpr APMSettingDefinition kMaxEventsStored{"measurement.store.max_stored_events_per_app", APMSettingReader::kInt32, 100000, 1000000, 0};
inline constexpr APMSettingDefinition kUploadingRetryCount{"measurement.upload.retry_count", APMSettingReader::kInt32, 6, 24, 1};
inline constexpr APMSettingDefinition kMaxRealtimeEventCountPerDay{"measurement.upload.max_realtime_events_per_day", APMSettingReader::kInt32, 10, 10, 0};
inline constexpr APMSettingDefinition kAnalyticsAccountTimeZoneOffsetMinutes{"measurement.account.time_zone_offset_minutes", APMSettingReader::kInt32, 0, 900, -900};
inline constexpr APMSettingDefinition kMaxItemScopedCustomParameters{"measurement.upload.max_item_scoped_custom_parameters", APMSettingReader::kInt32, 27, 35, 10};
inline constexpr APMSettingDefinition kMaxPublicEventParameterValueLength{"measurement.upload.max_event_parameter_value_length", APMSettingReader::kInt32, 500, 500, 100};
inline constexpr APMSettingDefinition kMaxRealtimeDCUEventCountPerDay{"measurement.dma.dcu_event_max_realtime_daily_count", APMSettingReader::kInt32, 1, 10, 0};
inline constexpr APMSettingDefinition kMaxPSMStartCount{"measurement.psm_start_count", APMSettingReader::kInt32, 3, 10, 0};
inline constexpr APMSettingDefinition kMaxPSMRetryCount{"measurement.psm_retry_count", APMSettingReader::kInt32, 5, 10, 0};
inline constexpr APMSettingDefinition kHashPrefixBitLengthEmail{"measurement.psm_prefix_email", APMSettingReader::kInt32, 14, 20, 6};
inline constexpr APMSettingDefinition kHashPrefixBitLengthPhone{"measurement.psm_prefix_phone", APMSettingReader::kInt32, 11, 18, 6};
inline constexpr APMSettingDefinition kMaxSignInDelayInDays{"measurement.psm_signin_delay", APMSettingReader::kInt32, 60, 90, 7};
inline constexpr APMSettingDefinition kMaxDeferredDeepLinkRetryCount{"measurement.ddl.retry_count", APMSettingReader::kInt32, 5, 10, 0};
inline constexpr APMSettingDefinition kSKANCVFetchRetryLimit{"measurement.skan.cv_fetch_retry_limit", APMSettingReader::kInt32, 4, 10, 1};
inline constexpr APMSettingDefinition kSKANFirstWindowCVFetchRetryLimit{"measurement.skan.first_window.cv_fetch_retry_limit", APMSettingReader::kInt32, 4, 10, 1};
inline constexpr APMSettingDefinition kUploadMaxBundlesLimit{"measurement.upload.max_bundles", APMSettingReader::kInt64, 100, 10000, 1};
inline constexpr APMSettingDefinition kUploadMaxEventsPerBundle{"measurement.upload.max_events_per_bundle", APMSettingReader::kInt64, 1000, 1000000, 1};
inline constexpr APMSettingDefinition kUploadMaxSizeLimitBytes{"measurement.upload.max_batch_size", APMSettingReader::kInt64, 65536, 10485760, 0};
inline constexpr APMSettingDefinition kSSTGUploadEnabled{"measurement.sstg_upload_enabled", APMSettingReader::kBool, 1, 1, 0};
inline constexpr APMSettingDefinition kGateIDFAOnATTMASEnabled{"measurement.attmas_gate", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kNetworkBackgroundSessionEnabled{"measurement.network.background_session_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kEfficientEngagementReportingEnabled{"measurement.collection.efficient_engagement_reporting_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kRedundantEngagementRemovalEnabled{"measurement.collection.redundant_engagement_removal_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kBlocklistInternal{"measurement.upload.blacklist_internal", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kBlocklistPublic{"measurement.upload.blacklist_public", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kEventSamplingEnabled{"measurement.event_sampling_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kChecksumEnabled{"measurement.quality.checksum", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kAppInBackgroundParameterEnabled{"measurement.lifecycle.app_in_background_parameter", APMSettingReader::kBool, 1, 1, 0};
inline constexpr APMSettingDefinition kAdsOnDeviceConversionFeatureEnabled{"measurement.odm2_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kDeferredDeepLinkEnabled{"measurement.ddl.enabled", APMSettingReader::kBool, 1, 1, 0};
inline constexpr APMSettingDefinition kSKANUpdateConversionValueEnabled{"measurement.skan.update_conversion_value_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kSessionStitchingTokenFeatureEnabled{"measurement.session_stitching_token_enabled", APMSettingReader::kBool, 0, 1, 0};
inline constexpr APMSettingDefinition kCustomerTypeEnabled{"measurement.customer_type_enabled", APMSettingReader::kBool, 1, 1, 0};
// clang-format on

// Every setting above, for tests and diagnostics.
const APMSettingDefinition* const* all(size_t* count);

// The keys under which the three numbers of the configuration's PSM message are cached.
inline constexpr const char* kPSMPrefixEmailKey = "measurement.psm_prefix_email";
inline constexpr const char* kPSMPrefixPhoneKey = "measurement.psm_prefix_phone";
inline constexpr const char* kPSMSignInDelayKey = "measurement.psm_signin_delay";
}  // namespace APMSettings

// Parses a setting's text as a decimal number, whatever the user's locale: optional sign, digits,
// optional fraction ("1.5", "-3", "+.5"), surrounding white space allowed. Integral texts give
// an integer object, others a double. Anything else (garbage, "1e5", "1,5", NaN) gives nothing.
std::optional<platform::Object> APMParseSettingNumber(const std::string& text);

// Converts a parsed number to int64 the way the readers do (the fraction dropped); nothing when
// it does not fit (a huge or non-finite number is unparseable, never undefined behaviour).
std::optional<int64_t> APMSettingNumberToInt64(const platform::Object& number);
