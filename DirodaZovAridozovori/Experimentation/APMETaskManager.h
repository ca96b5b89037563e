#pragma once
// Owns the experiment database, the fetch alarm and the exchange with the experiment service; its
// fetch schedule (APMEFetchSchedule) says when the next fetch is due, and APMEExperimentReply reads
// what the service answered.
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

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMAlarm.h"
#include "APMEDatabase.h"
#include "APMEExperimentReply.h"
#include "APMEFetchSchedule.h"
#include "APMESnapshot.h"
#include "APMPBMessages.h"
#include "APMUserDefaults.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Http.h"

class APMETaskManager;

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
  static constexpr const char* kFetchPath = "/sdk-exp";

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

  // Opens the database, activates waiting snapshots, reports to the delegate and schedules.
  void startTaskManager();
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

  // An exception thrown by the block is logged; the synchronous form throws it again.
  void dispatchAsyncOnWorkerQueue(Block block);
  void dispatchSyncOnWorkerQueue(const Block& block);

  std::shared_ptr<APMETaskManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) { delegate_ = std::move(delegate); }
  // The fetch timestamps and the rhythm they feed; their stored side is the worker queue's.
  APMEFetchSchedule& schedule() { return schedule_; }
  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
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
  std::string fetchURL() const;

  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<VIZUzedaru> network_;
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
  std::shared_ptr<APMEDatabase> database_;  // worker queue only; none until opened, after clearAndDelete
  std::string databasePath_;
  bool stopped_ = false;  // worker queue only
  std::weak_ptr<APMETaskManagerDelegate> delegate_;
  APMEFetchSchedule schedule_;
};
