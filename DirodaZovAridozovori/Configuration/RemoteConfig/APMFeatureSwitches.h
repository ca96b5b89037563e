#pragma once
// The configuration's on/off switches of features and behaviours: advertising-identity gating,
// engagement reporting, block lists, sampling, checksums, on-device conversion, deferred deep
// links and conversion values, session stitching and the customer type. Read from the
// configuration's settings; an experiment's flag overrides the last two.

#include "APMRemoteConfigExperiments.h"
#include "APMSettingsCache.h"

class APMFeatureSwitches {
 public:
  APMFeatureSwitches(APMSettingsCache& settings, const APMRemoteConfigExperiments& experiments)
      : settings_(settings), experiments_(experiments) {}
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
  // The experiment's flag as the client answers it now, else the setting.
  bool sessionStitchingTokenFeatureEnabled() {
    if (auto flag = experiments_.liveFlag(APMRemoteConfigExperiments::kSessionStitchingFlag)) return flag->boolValue();
    return settings_.boolValue(APMSettings::kSessionStitchingTokenFeatureEnabled);
  }
  // The experiment's flag as of the last activation, else the setting.
  bool customerTypeEnabled() {
    if (auto flag = experiments_.cachedFlag(APMRemoteConfigExperiments::kCustomerTypeFlag)) return flag->boolValue();
    return settings_.boolValue(APMSettings::kCustomerTypeEnabled);
  }

 private:
  APMSettingsCache& settings_;
  const APMRemoteConfigExperiments& experiments_;
};
