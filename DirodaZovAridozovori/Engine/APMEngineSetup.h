#pragma once
// What an engine is made with, fixed for its life: the engine hands it out whole.
#include <memory>
#include <string>
#include <vector>

class APMAlarm;
class APMPersistedConfig;
class APMScheduler;
class VIZUzedaru;

// The host's choices an engine is made with, as the app's settings give them.
struct APMEngineOptions {
  // Whether collection starts on.
  bool isAnalyticsCollectionEnabled = false;
  // The host's permanent opt-out: collection stays off whatever is asked later.
  bool isAnalyticsCollectionDeactivated = false;
  // When not empty, the only event names stored.
  std::vector<std::string> safelistedEvents;
};

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
