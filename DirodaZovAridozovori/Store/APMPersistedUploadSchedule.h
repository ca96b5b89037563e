#pragma once
// The times the upload schedule plans from: kept across launches so a restart neither uploads
// inside a back-off period nor forgets when the last upload ran.

#include "APMPersistedValues.h"

class APMPersistedUploadSchedule : public APMPersistedValues {
 public:
  explicit APMPersistedUploadSchedule(std::shared_ptr<platform::UserDefaults> store)
      : APMPersistedValues(std::move(store)) {}

  double lastMonitorDataSampledTimestamp() const { return doubleValue("last_monitor_sample_time").value_or(0); }
  void setLastMonitorDataSampledTimestamp(std::optional<double> v) { set("last_monitor_sample_time", v); }
  double lastBackoffTimestamp() const { return doubleValue("last_backoff_time").value_or(0); }
  void setLastBackoffTimestamp(std::optional<double> v) { set("last_backoff_time", v); }
  double lastSuccessfulUploadTimestamp() const { return doubleValue("last_upload_success_time").value_or(0); }
  void setLastSuccessfulUploadTimestamp(std::optional<double> v) { set("last_upload_success_time", v); }
  double lastFailedUploadTimestamp() const { return doubleValue("last_upload_failure_time").value_or(0); }
  void setLastFailedUploadTimestamp(std::optional<double> v) { set("last_upload_failure_time", v); }
};
