#pragma once
// How often and how much the upload road sends: the upload intervals, retries and back-off, the
// batch and bundle limits, how long stored data may wait, and the figures bundling writes into
// each bundle. Read from the configuration's settings.

#include <cstdint>

#include "APMSettingsCache.h"

class APMUploadLimits {
 public:
  explicit APMUploadLimits(APMSettingsCache& settings) : settings_(settings) {}
  APMUploadLimits(const APMUploadLimits&) = delete;
  APMUploadLimits& operator=(const APMUploadLimits&) = delete;

  double uploadingBackoffInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingBackoffInterval); }
  double databaseDeleteStaleBundlesInterval() { return settings_.timeIntervalInSeconds(APMSettings::kDatabaseDeleteStaleBundlesInterval); }
  double maxQueueTime() { return settings_.timeIntervalInSeconds(APMSettings::kMaxQueueTime); }
  double uploadingInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingInterval); }
  double uploadingInitialDelayInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingInitialDelayInterval); }
  double uploadingRetryInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingRetryInterval); }
  double uploadingDebugModeInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingDebugModeInterval); }
  double uploadingRealTimeInterval() { return settings_.timeIntervalInSeconds(APMSettings::kUploadingRealTimeInterval); }
  // A count configured through the time reader, as the setting has always been read: the
  // configured text is divided by 1000 like every time setting.
  int32_t maxBundlesCreatedPerIteration() {
    return static_cast<int32_t>(settings_.timeIntervalInSeconds(APMSettings::kMaxBundlesCreatedPerIteration));
  }
  int32_t uploadingRetryCount() { return settings_.intValue(APMSettings::kUploadingRetryCount); }
  int64_t uploadMaxBundlesLimit() { return settings_.int64Value(APMSettings::kUploadMaxBundlesLimit); }
  int64_t uploadMaxEventsPerBundle() { return settings_.int64Value(APMSettings::kUploadMaxEventsPerBundle); }
  int64_t uploadMaxSizeLimitBytes() { return settings_.int64Value(APMSettings::kUploadMaxSizeLimitBytes); }
  double monitoringSamplePeriod() { return settings_.timeIntervalInSeconds(APMSettings::kMonitoringSamplePeriod); }
  int32_t analyticsAccountTimeZoneOffsetMinutes() { return settings_.intValue(APMSettings::kAnalyticsAccountTimeZoneOffsetMinutes); }

 private:
  APMSettingsCache& settings_;
};
