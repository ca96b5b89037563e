#pragma once
// The monitoring sample as the monitor keeps it: in memory and in the monitor's own defaults suite,
// where it survives restarts until an upload takes it. Earlier versions kept it in the shared
// defaults; the migration moves it once.
//
// Not thread-safe: the monitor touches it on its own queue only.

#include <optional>
#include <string>

#include "APMMonitoringSampledData.h"
#include "APMUserDefaults.h"
#include "platform/Object.h"

class APMMonitorSampleStore {
 public:
  static constexpr const char* kMonitorSuiteName = "com.diroda.dmp.measurement.monitor";

  APMMonitorSampleStore();

  void migrateMonitorDataOnMonitorQueue();
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  // Counts one more sampled line (see APMMonitoringSampledData) and saves the sample.
  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  // The sample to send; a result is saved at once, so the sample is gone from disk too.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Forgets the sample in both suites and on disk.
  void clearOnMonitorQueue();
  // A copy of the current sample array (null when none).
  platform::Object sampledData() const { return monitoringSampledData_.sampledData(); }

 private:
  APMMonitoringSampledData monitoringSampledData_;
  APMUserDefaults monitorUserDefaults_;
};
