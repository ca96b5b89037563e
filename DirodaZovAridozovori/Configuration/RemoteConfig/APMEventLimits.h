#pragma once
// How much of each kind the SDK keeps and sends: events per day of each kind, parameters and
// their lengths, user properties, tracked currencies, stored events, and the audience limits.
// Read from the configuration's settings.

#include <algorithm>
#include <cstdint>

#include "APMSettingsCache.h"

class APMEventLimits {
 public:
  explicit APMEventLimits(APMSettingsCache& settings) : settings_(settings) {}
  APMEventLimits(const APMEventLimits&) = delete;
  APMEventLimits& operator=(const APMEventLimits&) = delete;

  int32_t maxEventsPerDay() { return settings_.intValue(APMSettings::kMaxEventsPerDay); }
  int32_t maxPublicEventsPerDay() { return settings_.intValue(APMSettings::kMaxPublicEventsPerDay); }
  int32_t maxErrorEventsPerDay() { return settings_.intValue(APMSettings::kMaxErrorEventsPerDay); }
  int32_t maxConversionsPerDay() { return settings_.intValue(APMSettings::kMaxConversionsPerDay); }
  int32_t maxRealtimeEventCountPerDay() { return settings_.intValue(APMSettings::kMaxRealtimeEventCountPerDay); }
  int32_t maxRealtimeDCUEventCountPerDay() { return settings_.intValue(APMSettings::kMaxRealtimeDCUEventCountPerDay); }
  int32_t maxEventNameCardinality() { return settings_.intValue(APMSettings::kMaxEventNameCardinality); }
  int32_t maxPublicEventParams() { return settings_.intValue(APMSettings::kMaxPublicEventParams); }
  int32_t maxPublicEventParameterValueLength() { return settings_.intValue(APMSettings::kMaxPublicEventParameterValueLength); }
  // Internal parameters may always be at least 256 long, whatever the public limit.
  int32_t maxInternalEventParameterValueLength() { return std::max(maxPublicEventParameterValueLength(), 256); }
  int32_t maxItemScopedCustomParameters() { return settings_.intValue(APMSettings::kMaxItemScopedCustomParameters); }
  int32_t maxPublicUserProperties() { return settings_.intValue(APMSettings::kMaxPublicUserProperties); }
  int32_t maxTrackedCurrencies() { return settings_.intValue(APMSettings::kMaxTrackedCurrencies); }
  int32_t maxEventsStored() { return settings_.intValue(APMSettings::kMaxEventsStored); }
  int32_t maxAudienceCount() { return settings_.intValue(APMSettings::kMaxAudienceCount); }
  int32_t maxFiltersPerAudience() { return settings_.intValue(APMSettings::kMaxFiltersPerAudience); }
  int32_t maxFilterResultCount() { return settings_.intValue(APMSettings::kMaxFilterResultCount); }
  int32_t maxParametersPerFilter() { return settings_.intValue(APMSettings::kMaxParametersPerFilter); }

 private:
  APMSettingsCache& settings_;
};
