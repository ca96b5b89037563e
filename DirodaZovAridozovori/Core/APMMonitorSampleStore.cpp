#include "APMMonitorSampleStore.h"

#include <cstdint>

namespace {

constexpr const char* kHealthMonitorKey = "/diroda/measurement/health_monitor";
constexpr const char* kMigrationStateKey = "/diroda/measurement/monitor_migration_state";

enum MigrationState : int64_t { kMigrationNone = 0, kMigrationCopied = 1, kMigrationDone = 2 };

}  // namespace

APMMonitorSampleStore::APMMonitorSampleStore() : monitorUserDefaults_(kMonitorSuiteName) {}

void APMMonitorSampleStore::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                             const std::string& encodedContext) {
  monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encodedContext);
  saveMonitoringDataToUserDefaultsOnMonitorQueue();
}

std::optional<std::string> APMMonitorSampleStore::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  std::optional<std::string> result =
      monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
  if (result) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  return result;
}

void APMMonitorSampleStore::clearOnMonitorQueue() {
  APMUserDefaults::sharedUserDefaults()->removeObjectForKey(kHealthMonitorKey);
  monitorUserDefaults_.removeObjectForKey(kHealthMonitorKey);
  monitorUserDefaults_.synchronize();
  loadMonitoringDataFromUserDefaultsOnMonitorQueue();
}

void APMMonitorSampleStore::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = APMMonitoringSampledData(monitorUserDefaults_.objectForKey(kHealthMonitorKey));
}

void APMMonitorSampleStore::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  // Not forced to disk: every failed upload logs a sampled line, and the suite's own write joins
  // the changes of a burst into one (and runs at exit), where a write per line cost an fsync each.
  monitorUserDefaults_.setObject(monitoringSampledData_.sampledData(), kHealthMonitorKey);
}

void APMMonitorSampleStore::migrateMonitorDataOnMonitorQueue() {
  int64_t state = monitorUserDefaults_.integerForKey(kMigrationStateKey);
  if (state == kMigrationDone) return;
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (state == kMigrationNone) {
    if (!monitorUserDefaults_.arrayForKey(kHealthMonitorKey)) {
      if (auto old = shared->arrayForKey(kHealthMonitorKey)) {
        monitorUserDefaults_.setObject(platform::Object(*old), kHealthMonitorKey);
      }
    }
    monitorUserDefaults_.setInteger(kMigrationCopied, kMigrationStateKey);
    monitorUserDefaults_.synchronize();
  }
  shared->removeObjectForKey(kHealthMonitorKey);
  shared->synchronize();
  monitorUserDefaults_.setInteger(kMigrationDone, kMigrationStateKey);
  monitorUserDefaults_.synchronize();
}
