#pragma once
// What an engine is made with, fixed for its life: the engine hands it out whole.
#include <memory>
#include <string>
#include <vector>

class APMAlarm;
class APMPersistedConfig;
class APMScheduler;
class VIZUzedaru;

struct APMEngineSetup {
  // The name of the alarm made when none is given.
  static constexpr const char* kAlarmName = "Measurement timer";

  std::string appID;
  // The measurement database's file name under the data directory.
  std::string databaseName;
  std::shared_ptr<APMPersistedConfig> persistedConfig;
  // None when the network client could not be made: fetches and uploads then do nothing.
  std::shared_ptr<VIZUzedaru> network;
  std::shared_ptr<APMScheduler> scheduler;
  // Made on the scheduler's worker queue when none is given.
  std::shared_ptr<APMAlarm> alarm;
  // The host's collection choice, and its permanent opt-out, as the app's settings give them.
  bool isAnalyticsCollectionEnabled = false;
  bool isAnalyticsCollectionDeactivated = false;
  std::vector<std::string> safelistedEvents;
};
