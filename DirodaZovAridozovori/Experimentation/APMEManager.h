#pragma once
// Serves feature flags to the SDKs that run server-side experiments. An SDK registers once with
// its property and default flag values and gets a client; the manager answers each flag from the
// SDK's activated snapshot, else its launched (rolled-out) snapshot, else the registered default.
// Fetched snapshots arrive from the task manager as pending and become active at the next start,
// or when the SDK activates them itself.
//
// Threads: the snapshot maps, the clients and the default flags live on the serial queue
// "APMEExperimentSerialQueue": lookups dispatch to it synchronously, changes asynchronously.
// Never call a synchronous operation from a block already running on that queue. Database and
// network work runs on the task manager's queue; new-snapshot notices reach each delegate on its
// own queue.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEClient.h"
#include "APMEMonitor.h"
#include "APMESDKProperty.h"
#include "APMESnapshot.h"
#include "APMETaskManager.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMEManager : public APMETaskManagerDelegate, public std::enable_shared_from_this<APMEManager> {
 public:
  static constexpr const char* kSerialQueueLabel = "APMEExperimentSerialQueue";
  // An activated snapshot older than this is stale.
  static constexpr double kStaleInterval = 259200;

  // activatedSnapshotStatusOfSDKName answers.
  enum SnapshotStatus : int64_t {
    kSnapshotStatusUnregistered = -1,
    kSnapshotStatusNone = -2,
    kSnapshotStatusFresh = 0,
    kSnapshotStatusStale = 1,
  };

  using Block = std::function<void()>;

  // The experimentation library's version (10000).
  static int64_t version();
  // The process-wide manager, created (and its task manager started) on first use.
  static std::shared_ptr<APMEManager> sharedInstance();
  // Tests: the next sharedInstance() creates a new manager.
  static void resetSharedInstanceForTesting();

  // init: a new task manager, not started.
  static std::shared_ptr<APMEManager> create();
  // initWithTaskManager: becomes the task manager's delegate.
  static std::shared_ptr<APMEManager> initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);

  // A client for the SDK, or nullptr (logged) for a missing property, an empty name or a default
  // flag that is neither a number nor a string. Registering a name again replaces its client and
  // default flags. The first registration waits until the stored snapshots are loaded.
  std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                  const platform::Dictionary& defaultFlags);
  std::shared_ptr<APMEClient> clientForSDKName(const std::string& SDKName);

  std::optional<platform::Object> flagValueForFlagName(const std::string& flagName, const std::string& SDKName);
  // The same for names of any kind (only strings name SDKs and flags).
  std::optional<platform::Object> flagValueForFlagName(const platform::Object& flagName,
                                                       const platform::Object& SDKName);
  // Makes the SDK's pending snapshot its activated (and, for experiment 0, launched) one.
  bool activateSnapshotOfSDK(const std::optional<std::string>& SDKName, platform::Error* error);
  // One of SnapshotStatus.
  int64_t activatedSnapshotStatusOfSDKName(const std::string& SDKName);
  // Drops the SDK's activated snapshot, here and in the database.
  void resetToDefaultsOfSDKName(const std::string& SDKName);
  // The activated experiments of the SDKs that divert by the measurement identity, ascending.
  std::vector<int64_t> experimentIDs();
  // Empties the database and the maps (a fetch follows at once).
  void reset();
  // Deletes the database and empties the maps; nothing is fetched any more.
  void clearAndDelete();

  // Task manager delegate.
  bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager, const APMESnapshots& activated,
                                                 const APMESnapshots& pending, const APMESnapshots& launched) override;
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                       const std::optional<APMESnapshots>& snapshots,
                                                       const std::optional<APMEFetchErrors>& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) override;

  // An exception thrown by the block is logged and goes no further.
  void dispatchAsyncOnSerialQueue(Block block);
  void dispatchSyncOnSerialQueue(const Block& block);

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

  explicit APMEManager(std::shared_ptr<APMETaskManager> taskManager);

 private:
  using SnapshotMap = std::map<std::string, std::shared_ptr<APMESnapshot>>;
  using FlagMap = std::map<std::string, std::shared_ptr<APMPBFlag>, std::less<>>;

  std::optional<platform::Object> flagValueOnSerialQueue(const std::string& flagName, const std::string& SDKName);
  std::vector<std::shared_ptr<APMEClient>> registeredClients();
  void waitForStartOnce();

  // Serial queue only.
  SnapshotMap activatedSnapshotsBySDKName_;
  SnapshotMap pendingSnapshotsBySDKName_;
  SnapshotMap launchedSnapshotsBySDKName_;
  std::shared_ptr<APMETaskManager> taskManager_;
  // Serial queue only.
  std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
  std::map<std::string, FlagMap> defaultFlagsBySDKName_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::atomic<bool> waitedForStart_{false};
};
