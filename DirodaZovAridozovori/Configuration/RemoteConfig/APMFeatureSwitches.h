#pragma once
// The configuration's on/off switches of features and behaviours: advertising-identity gating,
// engagement reporting, block lists, sampling, checksums, on-device conversion, deferred deep
// links and conversion values. Read from the configuration's settings.

#include "APMSettingsCache.h"

class APMFeatureSwitches {
 public:
  explicit APMFeatureSwitches(APMSettingsCache& settings) : settings_(settings) {}
  APMFeatureSwitches(const APMFeatureSwitches&) = delete;
  APMFeatureSwitches& operator=(const APMFeatureSwitches&) = delete;

  bool gateIDFAOnATTMASEnabled() { return settings_.boolValue(APMSettings::kGateIDFAOnATTMASEnabled); }
  bool efficientEngagementReportingEnabled() { return settings_.boolValue(APMSettings::kEfficientEngagementReportingEnabled); }
  bool redundantEngagementRemovalEnabled() { return settings_.boolValue(APMSettings::kRedundantEngagementRemovalEnabled); }
  bool blocklistInternal() { return settings_.boolValue(APMSettings::kBlocklistInternal); }
  bool blocklistPublic() { return settings_.boolValue(APMSettings::kBlocklistPublic); }
  bool isEventSamplingEnabled() { return settings_.boolValue(APMSettings::kEventSamplingEnabled); }
  bool checksumEnabled() { return settings_.boolValue(APMSettings::kChecksumEnabled); }
  bool appInBackgroundParameterEnabled() { return settings_.boolValue(APMSettings::kAppInBackgroundParameterEnabled); }
  bool adsOnDeviceConversionFeatureEnabled() { return settings_.boolValue(APMSettings::kAdsOnDeviceConversionFeatureEnabled); }
  bool isDeferredDeepLinkEnabled() { return settings_.boolValue(APMSettings::kDeferredDeepLinkEnabled); }
  bool SKANUpdateConversionValueEnabled() { return settings_.boolValue(APMSettings::kSKANUpdateConversionValueEnabled); }

 private:
  APMSettingsCache& settings_;
};
