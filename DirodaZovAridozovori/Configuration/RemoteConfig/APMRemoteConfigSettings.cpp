#include "APMRemoteConfigSettings.h"

#include <charconv>
#include <cmath>

namespace APMSettings {

const APMSettingDefinition* const* all(size_t* count) {
  static const APMSettingDefinition* const kAll[] = {
      &kUploadingBackoffInterval, &kDatabaseDeleteStaleBundlesInterval, &kMaxQueueTime,
      &kAdIDCacheTime, &kMonitoringSamplePeriod, &kNetworkTimeout, &kSessionDefaultTimeoutInterval,
      &kSessionEventUserEngagementInterval, &kUploadingInterval, &kUploadingInitialDelayInterval,
      &kUploadingRetryInterval, &kMaxBundlesCreatedPerIteration, &kUploadingDebugModeInterval,
      &kUploadingRealTimeInterval, &kPSMRetryInterval, &kAttributionCacheTTLInterval,
      &kRemoteConfigCacheTimeInterval, &kSKANInitialCVFetchDelay, &kSKANCVFetchRetryInterval,
      &kSKANFirstWindowCVFetchDelay, &kSKANFirstWindowCVFetchRetryInterval,
      &kSKANFirstWindowUploadInterval, &kMaxAudienceCount, &kMaxFiltersPerAudience,
      &kMaxFilterResultCount, &kMaxParametersPerFilter, &kMaxConversionsPerDay, &kMaxEventsPerDay,
      &kMaxPublicEventsPerDay, &kMaxErrorEventsPerDay, &kMaxTrackedCurrencies,
      &kMaxPublicUserProperties, &kMaxEventNameCardinality, &kMaxPublicEventParams,
      &kMaxEventsStored, &kUploadingRetryCount, &kMaxRealtimeEventCountPerDay,
      &kAnalyticsAccountTimeZoneOffsetMinutes, &kMaxItemScopedCustomParameters,
      &kMaxPublicEventParameterValueLength, &kMaxRealtimeDCUEventCountPerDay, &kMaxPSMStartCount,
      &kMaxPSMRetryCount, &kHashPrefixBitLengthEmail, &kHashPrefixBitLengthPhone,
      &kMaxSignInDelayInDays, &kMaxDeferredDeepLinkRetryCount, &kSKANCVFetchRetryLimit,
      &kSKANFirstWindowCVFetchRetryLimit, &kUploadMaxBundlesLimit, &kUploadMaxEventsPerBundle,
      &kUploadMaxSizeLimitBytes, &kSSTGUploadEnabled, &kGateIDFAOnATTMASEnabled,
      &kNetworkBackgroundSessionEnabled, &kEfficientEngagementReportingEnabled,
      &kRedundantEngagementRemovalEnabled, &kBlocklistInternal, &kBlocklistPublic,
      &kEventSamplingEnabled, &kChecksumEnabled, &kAppInBackgroundParameterEnabled,
      &kAdsOnDeviceConversionFeatureEnabled, &kDeferredDeepLinkEnabled,
      &kSKANUpdateConversionValueEnabled, &kSessionStitchingTokenFeatureEnabled, &kCustomerTypeEnabled,
  };
  *count = sizeof(kAll) / sizeof(kAll[0]);
  return kAll;
}

}  // namespace APMSettings

namespace {
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::optional<platform::Object> APMParseSettingNumber(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  if (begin == end) return std::nullopt;

  size_t i = begin;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  size_t intStart = i;
  while (i < end && isDigit(text[i])) ++i;
  size_t intDigits = i - intStart;
  size_t fracDigits = 0;
  bool hasPoint = false;
  if (i < end && text[i] == '.') {
    hasPoint = true;
    ++i;
    size_t fracStart = i;
    while (i < end && isDigit(text[i])) ++i;
    fracDigits = i - fracStart;
  }
  if (i != end || intDigits + fracDigits == 0) return std::nullopt;

  // Integral texts that fit stay exact integers.
  bool integral = !hasPoint || text.find_first_not_of('0', intStart + intDigits + 1) >= end;
  if (integral && intDigits > 0) {
    int64_t value = 0;
    const char* first = text.data() + intStart;
    auto [ptr, ec] = std::from_chars(first, first + intDigits, value);
    if (ec == std::errc() && ptr == first + intDigits) return platform::Object(negative ? -value : value);
  }
  std::string canonical(negative ? 1 : 0, '-');
  canonical.append(text, intStart, end - intStart);
  if (canonical.back() == '.') canonical.pop_back();
  if (canonical.empty() || canonical == "-") return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
  if (ec != std::errc() || ptr != canonical.data() + canonical.size() || !std::isfinite(value)) return std::nullopt;
  return platform::Object(value);
}

std::optional<int64_t> APMSettingNumberToInt64(const platform::Object& number) {
  if (number.isInteger() || number.isBool()) return number.integerValue();
  if (!number.isDouble()) return std::nullopt;
  double d = std::trunc(number.doubleValue());
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(d);
}
