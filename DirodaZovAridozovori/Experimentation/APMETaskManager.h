#pragma once
// Owns the experiment database, the fetch schedule and the exchange with the experiment service.
//
// At start it opens the database on its worker queue, activates the snapshots waiting for the
// start, hands everything stored to its delegate (the manager), and from then on keeps one alarm
// armed for the next fetch: 4 hours after a success, a doubling retry ladder after failures (30
// minutes, then 1.5, 3.5, 7.5, 15.5 and 31.5 hours after the last success or the start, then
// nothing until the next process), and no fetch for 12 hours after the service asked for back-off.
//
// Threads: the database, the timestamps and the alarm belong to "APMExperimentWorkerQueue"; the
// operations the manager calls hop onto it asynchronously. Alarm blocks and network completions
// hold the task manager weakly.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMAlarm.h"
#include "APMEDatabase.h"
#include "APMESnapshot.h"
#include "APMPBMessages.h"
#include "APMUserDefaults.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Http.h"

class APMETaskManager;

using APMESnapshots = std::vector<std::shared_ptr<APMESnapshot>>;
// SDK name to the error the service reported for it.
using APMEFetchErrors = std::map<std::string, platform::Error>;

// What the task manager tells its owner. Called on the task manager's worker queue.
class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  // Whether the fetch that is due should run now; no means wait a full period.
  virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) = 0;
  // Everything the database holds once the start has activated what was waiting.
  virtual void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager, const APMESnapshots& activated,
                                                         const APMESnapshots& pending,
                                                         const APMESnapshots& launched) = 0;
  // The result of a successful fetch: its snapshots and the SDKs the service refused.
  virtual void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                               const std::optional<APMESnapshots>& snapshots,
                                                               const std::optional<APMEFetchErrors>& errors) = 0;
  // Snapshots stored as pending at the manager's request.
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) = 0;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  static constexpr const char* kWorkerQueueLabel = "APMExperimentWorkerQueue";
  static constexpr const char* kAlarmName = "APMExperimentAlarm";
  static constexpr const char* kSuiteName = "APMExperimentSuiteName";
  static constexpr const char* kFetchSuccessTimestampKey = "APMExperimentFetchSuccessTimestamp";
  static constexpr const char* kFetchFailureTimestampKey = "APMExperimentFetchFailureTimestamp";
  static constexpr const char* kFetchBackoffTimestampKey = "APMExperimentFetchBackoffTimestamp";
  static constexpr const char* kFetchPath = "/sdk-exp";
  static constexpr const char* kErrorDomain = "com.diroda.dmp.measurement.experiment.ErrorDomain";
  // Seconds between successful fetches, before the first fetch of a process, of the first retry
  // step (each further step doubles), and of the pause the service can ask for.
  static constexpr double kFetchInterval = 14400;
  static constexpr double kInitialFetchDelay = 10;
  static constexpr double kRetryInterval = 1800;
  static constexpr int kMaxRetries = 6;
  static constexpr double kBackoffInterval = 43200;

  using Block = std::function<void()>;

  // init: the worker queue, its alarm, a network client for the analytics service host, the
  // suite "APMExperimentSuiteName" and the database file in the measurement storage directory,
  // created now.
  static std::shared_ptr<APMETaskManager> create();
  // initWithQueue:alarm:network:persistedStorage:databasePath:initTimestamp:
  static std::shared_ptr<APMETaskManager> create(std::shared_ptr<platform::DispatchQueue> queue,
                                                 std::shared_ptr<APMAlarm> alarm, std::shared_ptr<VIZUzedaru> network,
                                                 std::shared_ptr<APMUserDefaults> persistedStorage,
                                                 std::string databasePath, double initTimestamp);

  // The next fetch time (seconds since 1970) from the last success and failure, or 0 when the
  // retries since the last success are used up. The first call of a process waits at most the
  // initial delay longer than the success rhythm asks.
  static double nextFetchTime(double lastSuccess, double lastFailure, double now, bool isFirstCall,
                              double initializationTimestamp);

  // Opens the database, activates waiting snapshots, reports to the delegate and schedules.
  void startTaskManager();
  // nextFetchTime for now; the first call in the process ends the initial-fetch rule.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  void scheduleFetchingExperimentsOnWorkerQueue();
  void postponeFetchExperiments();
  void fetchExperiments();
  void handleFetchingExperimentsResponse(const std::optional<platform::HttpResponse>& response,
                                         const std::optional<platform::Data>& data,
                                         const std::optional<platform::Error>& error);

  // For the manager; each runs asynchronously on the worker queue.
  void activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot, double timestamp);
  void resetToDefaultsForSDKName(std::string SDKName);
  void upsertPendingSnapshots(APMESnapshots snapshots);
  // Empties the database and the timestamps, and schedules a fetch at once.
  void reset();
  // Cancels the fetch, deletes the database and the timestamps; nothing runs until reset().
  void clearAndDelete();
  // Cancels the fetch and schedules nothing any more (the owner is going away); waits for the
  // worker queue.
  void stop();

  static std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);
  static std::optional<APMEFetchErrors> errorsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);
  static std::optional<APMESnapshots> experimentSnapshotsFromData(const platform::Data& data);

  // An exception thrown by the block is logged; the synchronous form throws it again.
  void dispatchAsyncOnWorkerQueue(Block block);
  void dispatchSyncOnWorkerQueue(const Block& block);

  std::shared_ptr<APMETaskManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) { delegate_ = std::move(delegate); }
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_.load(); }
  double initializationTimestamp() const { return initializationTimestamp_; }
  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<APMUserDefaults>& persistedStorage() const { return persistedStorage_; }
  const std::string& databasePath() const { return databasePath_; }
  // Worker queue only.
  const std::shared_ptr<APMEDatabase>& database() const { return database_; }

  APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
                  std::shared_ptr<VIZUzedaru> network, std::shared_ptr<APMUserDefaults> persistedStorage,
                  std::string databasePath, double initTimestamp);

 private:
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  void runDueFetchOnWorkerQueue();
  void removeTimestamps();
  std::string fetchURL() const;

  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<VIZUzedaru> network_;
  std::shared_ptr<APMUserDefaults> persistedStorage_;
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
  std::shared_ptr<APMEDatabase> database_;  // worker queue only; none until opened, after clearAndDelete
  std::string databasePath_;
  std::atomic<bool> hasMadeInitialFetch_{false};
  bool stopped_ = false;  // worker queue only
  std::weak_ptr<APMETaskManagerDelegate> delegate_;
  double initializationTimestamp_;
};
