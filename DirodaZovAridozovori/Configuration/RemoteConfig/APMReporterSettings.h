#pragma once
// The timings and retry limits of the engine's reporters: sessions and engagement, the
// advertising identity's cache, attribution and deferred deep links, the private set membership
// (PSM) requests of on-device conversion, and the conversion-value fetches. Read from the
// configuration's settings.

#include <cstdint>

#include "APMSettingsCache.h"

class APMReporterSettings {
 public:
  explicit APMReporterSettings(APMSettingsCache& settings) : settings_(settings) {}
  APMReporterSettings(const APMReporterSettings&) = delete;
  APMReporterSettings& operator=(const APMReporterSettings&) = delete;

  double sessionDefaultTimeoutInterval() { return settings_.timeIntervalInSeconds(APMSettings::kSessionDefaultTimeoutInterval); }
  double sessionEventUserEngagementInterval() { return settings_.timeIntervalInSeconds(APMSettings::kSessionEventUserEngagementInterval); }
  double adIDCacheTime() { return settings_.timeIntervalInSeconds(APMSettings::kAdIDCacheTime); }
  double attributionCacheTTLInterval() { return settings_.timeIntervalInSeconds(APMSettings::kAttributionCacheTTLInterval); }
  int32_t maxDeferredDeepLinkRetryCount() { return settings_.intValue(APMSettings::kMaxDeferredDeepLinkRetryCount); }

  double PSMRetryInterval() { return settings_.timeIntervalInSeconds(APMSettings::kPSMRetryInterval); }
  // Debug mode lets a developer try the maximum number of starts.
  int32_t maxPSMStartCount();
  int32_t maxPSMRetryCount() { return settings_.intValue(APMSettings::kMaxPSMRetryCount); }
  int32_t hashPrefixBitLengthEmail() { return settings_.intValue(APMSettings::kHashPrefixBitLengthEmail); }
  int32_t hashPrefixBitLengthPhone() { return settings_.intValue(APMSettings::kHashPrefixBitLengthPhone); }
  int32_t maxSignInDelayInDays() { return settings_.intValue(APMSettings::kMaxSignInDelayInDays); }

  double SKANInitialCVFetchDelay() { return settings_.timeIntervalInSeconds(APMSettings::kSKANInitialCVFetchDelay); }
  double SKANCVFetchRetryInterval() { return settings_.timeIntervalInSeconds(APMSettings::kSKANCVFetchRetryInterval); }
  double SKANFirstWindowCVFetchDelay() { return settings_.timeIntervalInSeconds(APMSettings::kSKANFirstWindowCVFetchDelay); }
  double SKANFirstWindowCVFetchRetryInterval() { return settings_.timeIntervalInSeconds(APMSettings::kSKANFirstWindowCVFetchRetryInterval); }
  double SKANFirstWindowUploadInterval() { return settings_.timeIntervalInSeconds(APMSettings::kSKANFirstWindowUploadInterval); }
  int32_t SKANCVFetchRetryLimit() { return settings_.intValue(APMSettings::kSKANCVFetchRetryLimit); }
  int32_t SKANFirstWindowCVFetchRetryLimit() { return settings_.intValue(APMSettings::kSKANFirstWindowCVFetchRetryLimit); }

 private:
  APMSettingsCache& settings_;
};
