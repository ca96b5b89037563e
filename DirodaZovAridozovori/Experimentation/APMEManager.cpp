#include "APMEManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <exception>
#include <mutex>

#include "APMEExperimentRequestBuilder.h"
#include "APMEFlags.h"
#include "APMError.h"
#include "platform/Clock.h"

using platform::Object;

namespace {

constexpr const char* kLibraryVersionString = "10000000";

std::mutex gSharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gSharedMutex.
std::shared_ptr<APMEManager>& sharedManager() {
  static auto& instance = *new std::shared_ptr<APMEManager>;
  return instance;
}

}  // namespace

int64_t APMEManager::version() {
  const std::string text = kLibraryVersionString;
  if (text.size() < 4) return 0;
  return std::stoll(text.substr(0, text.size() - 3));
}

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  auto& manager = sharedManager();
  if (!manager) {
    manager = create();
    manager->taskManager()->startTaskManager();
  }
  return manager;
}

void APMEManager::resetSharedInstanceForTesting() {
  std::shared_ptr<APMEManager> old;
  {
    std::lock_guard<std::mutex> lock(gSharedMutex);
    old.swap(sharedManager());
  }
  // Whatever the old manager queued finishes before the next test's files appear, and its fetch
  // alarm stays quiet even though the manager may live on in an old configuration.
  if (old) {
    old->taskManager()->stop();
    old->dispatchSyncOnSerialQueue([] {});
    old->taskManager()->dispatchSyncOnWorkerQueue([] {});
  }
}

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)), queue_(platform::DispatchQueue::create(kSerialQueueLabel)) {}

std::shared_ptr<APMEManager> APMEManager::create() { return initWithTaskManager(APMETaskManager::create()); }

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager) {
  auto manager = std::make_shared<APMEManager>(std::move(taskManager));
  manager->taskManager_->setDelegate(manager);
  return manager;
}

// MARK: - Registration

void APMEManager::waitForStartOnce() {
  if (waitedForStart_.exchange(true)) return;
  // The start loads the stored snapshots on the worker queue and hands them to the serial queue;
  // once the worker has passed it, a registration queued now comes after them, so an SDK that
  // activates right after registering finds its pending snapshot.
  taskManager_->dispatchSyncOnWorkerQueue([] {});
}

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                             const platform::Dictionary& defaultFlags) {
  if (!property) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotRegisterClientNilSDKProperty,
           "Cannot register client with a nil SDK property");
    return nullptr;
  }
  const std::string name = property->name();
  if (name.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotRegisterExperimentClientNoSDK,
           "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  FlagMap flagsByName;
  std::vector<std::shared_ptr<APMPBFlag>> flags;
  for (const auto& [flagName, value] : defaultFlags) {
    auto flag = APMEFlagFromNameAndValue(Object(flagName), value);
    if (!flag) {
      APMLog(APMLogLevel::kError, APMELogCode::kCannotRegisterExperimentClientInvalidFlags,
             "Cannot register experiment client invalid flags. Flag name, value", flagName, value);
      return nullptr;
    }
    flagsByName.emplace(flagName, flag);
    flags.push_back(std::move(flag));
  }
  auto client = APMEClient::create(property, std::move(flags), weak_from_this());
  if (!client) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kClientNotRegistered, "Cannot register client. SDK name", name);
    return nullptr;
  }
  waitForStartOnce();
  dispatchAsyncOnSerialQueue(
      [this, self = shared_from_this(), client, name, flagsByName = std::move(flagsByName), property] {
        if (registeredClientsBySDKName_.count(name)) {
          APMLog(APMLogLevel::kWarning, APMELogCode::kSDKRegisteredAgain,
                 "Registered an SDK that has already registered. Default flags will be overwritten. SDK name", name);
        }
        registeredClientsBySDKName_.insert_or_assign(name, client);
        defaultFlagsBySDKName_.insert_or_assign(name, flagsByName);
        APMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(property);
        APMLog(APMLogLevel::kVerbose, APMELogCode::kClientRegistered, "Registered client", name);
      });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const std::string& SDKName) {
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] {
    auto found = registeredClientsBySDKName_.find(SDKName);
    if (found != registeredClientsBySDKName_.end()) client = found->second;
  });
  return client;
}

std::vector<std::shared_ptr<APMEClient>> APMEManager::registeredClients() {
  std::vector<std::shared_ptr<APMEClient>> clients;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
  });
  return clients;
}

// MARK: - Flags

std::optional<Object> APMEManager::flagValueForFlagName(const Object& flagName, const Object& SDKName) {
  if (!SDKName.isString()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotGetFlagValueInvalidSDK,
           "Cannot get flag value for an invalid SDK name");
    return std::nullopt;
  }
  if (!flagName.isString()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotGetFlagValueInvalidFlag,
           "Cannot get flag value for invalid flag name. SDK name, flag name", SDKName, flagName);
    return std::nullopt;
  }
  return flagValueForFlagName(flagName.stringValue(), SDKName.stringValue());
}

std::optional<Object> APMEManager::flagValueForFlagName(const std::string& flagName, const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotRetrieveFlagValueEmptySDK,
           "Cannot retrieve flag value for empty SDK name");
    return std::nullopt;
  }
  if (flagName.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotRetrieveFlagValueEmptyFlag,
           "Cannot retrieve flag value for empty flag name");
    return std::nullopt;
  }
  std::optional<Object> value;
  dispatchSyncOnSerialQueue([&] { value = flagValueOnSerialQueue(flagName, SDKName); });
  return value;
}

std::optional<Object> APMEManager::flagValueOnSerialQueue(const std::string& flagName, const std::string& SDKName) {
  if (!registeredClientsBySDKName_.count(SDKName)) {
    APMLog(APMLogLevel::kWarning, APMELogCode::kSDKNotRegisteredYet, "SDK is not registered yet", SDKName);
    return std::nullopt;
  }
  auto defaults = defaultFlagsBySDKName_.find(SDKName);
  if (defaults == defaultFlagsBySDKName_.end()) {
    APMLog(APMLogLevel::kWarning, APMELogCode::kCannotGetFlagUnregisteredSDK,
           "Cannot get flag for unregistered SDK. SDK name, flag name", SDKName, flagName);
    return std::nullopt;
  }
  const bool verbose = APMLogWouldProcess(APMLogLevel::kVerbose);
  auto describe = [](const SnapshotMap& map, const std::string& name) {
    auto found = map.find(name);
    return found == map.end() ? std::string("(null)") : found->second->description();
  };
  auto lookUp = [&](const SnapshotMap& map) -> std::optional<Object> {
    auto found = map.find(SDKName);
    if (found == map.end()) return std::nullopt;
    return APMEValueFromFlag(found->second->flagByName(flagName));
  };

  // Verbose lines only: the answer is the hot path, so they are skipped before any work.
  if (verbose) {
    APMLog(APMLogLevel::kVerbose, APMELogCode::kLookingForActivatedFlag,
           "Looking for activated flag. SDK name, flag name, activated snapshot", SDKName, flagName,
           describe(activatedSnapshotsBySDKName_, SDKName));
  }
  if (auto value = lookUp(activatedSnapshotsBySDKName_)) return value;
  if (verbose) {
    APMLog(APMLogLevel::kVerbose, APMELogCode::kActivatedFlagNotFound,
           "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag", SDKName,
           flagName, describe(launchedSnapshotsBySDKName_, SDKName));
  }
  if (auto value = lookUp(launchedSnapshotsBySDKName_)) return value;

  auto flag = defaults->second.find(flagName);
  if (flag == defaults->second.end()) {
    if (verbose)
      APMLog(APMLogLevel::kVerbose, APMELogCode::kNoDefaultFlagValue, "No default flag value. SDK name, flag name",
             SDKName, flagName);
    return std::nullopt;
  }
  auto value = APMEValueFromFlag(flag->second);
  if (verbose) {
    APMLog(APMLogLevel::kVerbose, APMELogCode::kLaunchedFlagNotFound,
           "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag", SDKName,
           flagName, value.value_or(Object()));
  }
  return value;
}

// MARK: - Activation and status

bool APMEManager::activateSnapshotOfSDK(const std::optional<std::string>& SDKName, platform::Error* error) {
  if (!SDKName) {
    APMSetError(error, 1, "SDK name cannot be nil");
    APMLog(APMLogLevel::kWarning, APMELogCode::kNoSDKNameToActivate,
           "Cannot activate a pending snapshot for a nil SDK name");
    return false;
  }
  if (SDKName->empty()) {
    APMSetError(error, 1, "SDK name cannot be empty");
    APMLog(APMLogLevel::kWarning, APMELogCode::kCannotActivatePendingSnapshotEmptySDK,
           "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    auto found = pendingSnapshotsBySDKName_.find(*SDKName);
    if (found == pendingSnapshotsBySDKName_.end()) {
      APMLog(APMLogLevel::kWarning, APMELogCode::kNoPendingSnapshotActivate,
             "No pending snapshot to activate. SDK name", *SDKName);
      return;
    }
    auto pending = found->second;
    const double now = platform::now();
    // The same split the database makes, so a restart serves what memory serves now.
    std::vector<std::shared_ptr<APMEExperiment>> running;
    for (const auto& [id, experiment] : pending->experimentsByExperimentID()) {
      if (id != 0) {
        running.push_back(experiment);
        continue;
      }
      if (auto launched = APMESnapshot::create(*SDKName, {experiment})) {
        launchedSnapshotsBySDKName_.insert_or_assign(*SDKName, launched);
      }
    }
    auto snapshot = APMESnapshot::create(*SDKName, running);
    if (!snapshot) return;
    snapshot->setTimestamp(now);
    activatedSnapshotsBySDKName_.insert_or_assign(*SDKName, snapshot);
    pendingSnapshotsBySDKName_.erase(found);
    taskManager_->activatePendingSnapshot(pending, now);
    APMLog(APMLogLevel::kVerbose, APMELogCode::kSnapshotActivated, "Successfully activated a snapshot of SDK",
           *SDKName);
    activated = true;
  });
  return activated;
}

int64_t APMEManager::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotCheckActivatedSnapshotEmptySDK,
           "Cannot check activated snapshot for empty SDK Name");
    return kSnapshotStatusUnregistered;
  }
  int64_t status = kSnapshotStatusUnregistered;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.count(SDKName)) return;
    auto found = activatedSnapshotsBySDKName_.find(SDKName);
    if (found == activatedSnapshotsBySDKName_.end() || found->second->timestamp() <= DBL_EPSILON) {
      status = kSnapshotStatusNone;
      return;
    }
    const double age = std::fabs(found->second->timestamp() - platform::now());
    status = age > kStaleInterval ? kSnapshotStatusStale : kSnapshotStatusFresh;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(APMLogLevel::kError, APMELogCode::kCannotResetDefaultsEmptySDKName,
           "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    auto found = activatedSnapshotsBySDKName_.find(SDKName);
    if (found == activatedSnapshotsBySDKName_.end()) {
      APMLog(APMLogLevel::kError, APMELogCode::kCannotResetDefaultsUnregisteredSDKName,
             "Cannot reset to defaults for unregistered SDK name", SDKName);
      return;
    }
    activatedSnapshotsBySDKName_.erase(found);
    taskManager_->resetToDefaultsForSDKName(SDKName);
    APMLog(APMLogLevel::kVerbose, APMELogCode::kResetAllExperimentsDefault,
           "Reset all experiments to default. SDK name", SDKName);
  });
}

std::vector<int64_t> APMEManager::experimentIDs() {
  std::vector<int64_t> IDs;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      if (!client->SDKProperty()->diversionKey().value_or("").empty()) continue;
      auto found = activatedSnapshotsBySDKName_.find(name);
      if (found == activatedSnapshotsBySDKName_.end()) continue;
      for (const auto& [id, experiment] : found->second->experimentsByExperimentID()) IDs.push_back(id);
    }
  });
  std::sort(IDs.begin(), IDs.end());
  return IDs;
}

void APMEManager::reset() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->reset();
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

void APMEManager::clearAndDelete() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->clearAndDelete();
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

// MARK: - Task manager delegate

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  // Delegates are asked outside the serial queue: they may call back into the manager.
  for (const auto& client : registeredClients()) {
    auto delegate = client->delegate();
    if (!delegate || !delegate->shouldFetchExperimentsForClient) return true;
    if (delegate->shouldFetchExperimentsForClient(*client)) return true;
  }
  return false;
}

void APMEManager::taskManagerDidStartWithActivatedSnapshots(APMETaskManager&, const APMESnapshots& activated,
                                                            const APMESnapshots& pending,
                                                            const APMESnapshots& launched) {
  dispatchAsyncOnSerialQueue([this, self = shared_from_this(), activated, pending, launched] {
    const std::pair<const APMESnapshots*, SnapshotMap*> fills[] = {
        {&activated, &activatedSnapshotsBySDKName_},
        {&pending, &pendingSnapshotsBySDKName_},
        {&launched, &launchedSnapshotsBySDKName_},
    };
    for (const auto& [snapshots, map] : fills) {
      for (const auto& snapshot : *snapshots) {
        if (!snapshot) continue;
        if (auto copy = snapshot->copy()) map->insert_or_assign(copy->SDKName(), copy);
      }
    }
  });
}

void APMEManager::taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager&,
                                                                  const std::optional<APMESnapshots>& snapshots,
                                                                  const std::optional<APMEFetchErrors>& errors) {
  const bool hasSnapshots = snapshots && !snapshots->empty();
  const bool hasErrors = errors && !errors->empty();
  if (!hasSnapshots && !hasErrors) {
    APMLog(APMLogLevel::kWarning, APMELogCode::kNoPendingSnapshotsNotifyClients,
           "No pending snapshots to notify the clients");
    return;
  }
  dispatchAsyncOnSerialQueue([this, self = shared_from_this(), snapshots = snapshots.value_or(APMESnapshots{}),
                              errors = errors.value_or(APMEFetchErrors{})] {
    APMESnapshots toStore;
    for (const auto& snapshot : snapshots) {
      auto copy = snapshot ? snapshot->copy() : nullptr;
      if (!copy) continue;
      auto client = registeredClientsBySDKName_.find(copy->SDKName());
      auto delegate = client == registeredClientsBySDKName_.end() ? nullptr : client->second->delegate();
      if (delegate && delegate->clientDidReceiveNewSnapshot) {
        copy->setManuallyActivated(true);
        toStore.push_back(copy);
      }
      pendingSnapshotsBySDKName_.insert_or_assign(copy->SDKName(), copy);
    }
    for (const auto& [name, error] : errors) {
      auto client = registeredClientsBySDKName_.find(name);
      if (client == registeredClientsBySDKName_.end()) continue;
      auto delegate = client->second->delegate();
      if (delegate && delegate->clientDidReceiveFetchError) delegate->clientDidReceiveFetchError(*client->second, error);
    }
    if (!toStore.empty()) taskManager_->upsertPendingSnapshots(std::move(toStore));
  });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager&, const APMESnapshots& snapshots) {
  std::map<std::string, std::shared_ptr<APMEClient>> clients;
  dispatchSyncOnSerialQueue([&] { clients = registeredClientsBySDKName_; });
  for (const auto& snapshot : snapshots) {
    if (!snapshot) continue;
    auto found = clients.find(snapshot->SDKName());
    if (found == clients.end()) continue;
    auto client = found->second;
    auto delegate = client->delegate();
    if (!delegate || !delegate->clientDidReceiveNewSnapshot) {
      APMLog(APMLogLevel::kError, APMELogCode::kNoSDKNameToActivate,
             "Cannot notify new snapshot for SDK because the delegate does not implement -clientDidReceiveNewSnapshot:",
             snapshot->SDKName());
      continue;
    }
    auto queue = delegate->queue ? delegate->queue : platform::DispatchQueue::main();
    std::weak_ptr<APMEClientDelegate> weakDelegate = delegate;
    queue->async([weakDelegate, client] {
      auto target = weakDelegate.lock();
      if (target && target->clientDidReceiveNewSnapshot) target->clientDidReceiveNewSnapshot(*client);
    });
  }
}

// MARK: - Queue

void APMEManager::dispatchAsyncOnSerialQueue(Block block) {
  queue_->async([block = std::move(block)] {
    APMEMonitor::runCatching(block, APMELogCode::kSerialQueueAsyncException,
                             "Exception on async Experimentation serial queue");
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const Block& block) {
  queue_->sync([&] {
    APMEMonitor::runCatching(block, APMELogCode::kSerialQueueSyncException,
                             "Exception on sync Experimentation serial queue");
  });
}
