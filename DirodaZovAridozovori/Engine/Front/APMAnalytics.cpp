#include "APMAnalytics.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "APMAnalyticsCollection.h"
#include "APMAnalyticsConsent.h"
#include "APMAnalyticsEventBuffer.h"
#include "APMEngineRegistry.h"
#include "APMEngineEventRoad.h"
#include "APMAnalyticsHooks.h"
#include "APMAnalyticsListeners.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsSuite.h"
#include "APMAnalyticsSupport.h"
#include "APMDataTypeValidator.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMNameTables.h"
#include "APMPersistedConfig.h"
#include "APMUserAttribute.h"
#include "APMUserDefaults.h"
#include "APMValue.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaUtilities/AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "Identity/APMDirodaServiceFileUtil.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Utilities/APMNumericUtil.h"
#include "platform/ApplicationNotifications.h"
#include "platform/ClassRegistry.h"
#include "platform/Clock.h"
#include "platform/Http.h"
#include "platform/Semaphore.h"
#include "platform/UserDefaults.h"

using namespace apmfront;

namespace {

// Serial queue: while an operation queued among the events runs, the events it logs through the
// front on this thread wait here, to be handed on in its place.
thread_local APMAnalyticsEventBuffer* tOperationEvents = nullptr;

// Until its first activation the application does not count as active.
constexpr bool kActiveAtLaunch = false;

constexpr const char* kDeferringDocumentationLink = "https://diroda.example/docs/analytics/zoredode-migration";

// An operation queued among the events: it runs after the batch's first `after` events, and holds
// about `bytes` of the room until then.
struct QueuedOperation {
  size_t after = 0;
  APMAnalytics::Block block;
  size_t bytes = 0;
};

// Logged events queued together, between two blocks, and the operations queued among them.
struct EventBatch {
  APMAnalyticsEventBuffer events;
  size_t appended = 0;
  std::vector<QueuedOperation> operations;
};

// One entry of the operation queue: a block, or a batch of events.
struct Operation {
  APMAnalytics::Block block;
  std::shared_ptr<EventBatch> batch;
};

// The operation queue: operations wait here, in call order, until start; afterwards blocks pass
// straight to the serial queue, and events join the open batch, which one serial-queue block
// hands on. Queueing a block closes the open batch, so the order of calls is kept. Guarded by mutex.
struct OperationQueue {
  std::mutex mutex;
  bool suspended = true;
  std::deque<Operation> pending;
  std::shared_ptr<EventBatch> openBatch;  // running only: the batch later events join
  uint64_t generation = 0;  // bumped by resetForTesting, so a stale delayed resume does nothing
};

// How many hand-off steps the worker queue has not reached yet. The serial queue posts a marker
// after each step and waits while too many are outstanding.
struct HandOffWindow {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t posted = 0;
  uint64_t reached = 0;
};

// The bytes of events accepted but not yet stored, against the cap of APMEventRoadOptions. A caller
// reserves its event's bytes before queueing it and waits while they do not fit; the worker gives
// them back once the event has been handled (stored, or refused by the engine's rules). Guarded by
// mutex.
struct EventRoom {
  std::mutex mutex;
  std::condition_variable freed;
  size_t maxBytes = APMEventRoadOptions{}.maxWaitingEventBytes;
  APMEventRoadStatistics statistics;
  int waiters = 0;
  std::optional<double> lastWaitEnd;  // uptime
  uint64_t generation = 0;   // bumped by resetForTesting, so bytes given back late do nothing
};

struct FrontState {
  std::shared_ptr<platform::DispatchQueue> serialQueue = platform::DispatchQueue::create(APMAnalytics::kQueueLabel);
  std::shared_ptr<platform::DispatchQueue> timestampQueue =
      platform::DispatchQueue::create(APMAnalytics::kTimestampQueueLabel);
  std::shared_ptr<platform::DispatchQueue> callbackQueue =
      platform::DispatchQueue::create(APMAnalytics::kCallbackQueueLabel);
  OperationQueue operations;

  std::mutex loadTimeMutex;
  double loadTime = platform::now();

  std::atomic<bool> started{false};
  // The application has become active: false until the first activation, never cleared (the
  // screen-view reporter takes this over when it is installed as the owner).
  std::atomic<bool> appActive{kActiveAtLaunch};

  std::mutex screenMutex;  // guards screenParameters
  std::shared_ptr<const platform::Dictionary> screenParameters;

  std::shared_ptr<HandOffWindow> handOffWindow = std::make_shared<HandOffWindow>();
  size_t handedSinceMarker = 0;  // serial queue only
  size_t bytesHandedSinceMarker = 0;  // serial queue only
  EventRoom room;

  // The process is ending: calls are refused (set under the operation-queue lock). Past the exit
  // time limit, the hand-off also stops.
  std::atomic<bool> exiting{false};
  std::atomic<bool> abandonHandOff{false};
  std::atomic<double> exitFlushTimeLimit{APMAnalytics::kExitFlushTimeLimit};

  std::mutex collaboratorsMutex;  // guards collaborators; replaced whole, so a snapshot stays valid
  std::shared_ptr<const APMAnalyticsCollaborators> collaborators = std::make_shared<const APMAnalyticsCollaborators>();
};

FrontState& state() {
  static FrontState* front = new FrontState();  // lives for the whole process, like the class it stands for
  return *front;
}

std::shared_ptr<const APMAnalyticsCollaborators> collaborators() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.collaboratorsMutex);
  return front.collaborators;
}

// The engine's view of the front, installed as analytics starts: before it, no engine exists.
void installEngineHooks() {
  APMAnalyticsHooks hooks;
  hooks.loadTimestamp = [] { return APMAnalytics::loadTimestamp(); };
  hooks.needFirstOpenAfterReset = [] { return APMAnalyticsSuite::needFirstOpenAfterReset(); };
  hooks.removeNeedFirstOpenAfterReset = [] { APMAnalyticsSuite::removeNeedFirstOpenAfterReset(); };
  hooks.deferredAnalyticsCollection = [] { return APMAnalyticsSuite::deferredAnalyticsCollection(); };
  hooks.setDeferredAnalyticsCollection = [](std::optional<bool> v) { APMAnalyticsSuite::setDeferredAnalyticsCollection(v); };
  hooks.resetRetryCount = [] { return APMAnalyticsSuite::resetRetryCount(); };
  hooks.setResetRetryCount = [](int64_t count) { APMAnalyticsSuite::setResetRetryCount(count); };
  hooks.appInstanceIDAfterReset = [] { return APMAnalyticsSuite::appInstanceIDAfterReset(); };
  hooks.removeAppInstanceIDAfterReset = [] { APMAnalyticsSuite::setAppInstanceIDAfterReset(std::nullopt); };
  hooks.removeStartUpConsentSettings = [] { APMAnalyticsConsent::removeStartUpConsentSettings(); };
  hooks.removeDeferredResetOnDeniedConsent = [] { APMAnalyticsConsent::removeDeferredResetOnDeniedConsent(); };
  hooks.clearConsent = [] { APMAnalyticsConsent::clearConsent(); };
  hooks.persistConsentSettings = [](const platform::Dictionary& settings, int64_t source) {
    APMAnalyticsConsent::persistConsentSettings(settings, source);
  };
  hooks.consentSettings1PStart = [] { return APMAnalyticsConsent::consentSettings1PStart(); };
  hooks.consentSettings3P = [] { return APMAnalyticsConsent::consentSettings3P(); };
  hooks.consentSettingsTCF = [] { return APMAnalyticsConsent::consentSettingsTCF(); };
  hooks.setConsent = [](const platform::Dictionary& settings, const std::string& sourceKey) {
    APMAnalyticsConsent::setConsent(settings, sourceKey);
  };
  hooks.logInternalEventWithOrigin = [](const std::string& origin, const std::string& name,
                                        const platform::Dictionary& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
  };
  hooks.notifyEventListeners = [](const std::shared_ptr<APMEvent>& event) {
    APMAnalyticsListeners::notifyEventListeners(event);
  };
  hooks.hasEventListeners = [] { return APMAnalyticsListeners::hasEventListeners(); };
  hooks.isAppActive = [] { return APMAnalytics::isAppActive(); };
  hooks.screenParameters = [] { return APMAnalytics::currentScreenParameters(); };
  hooks.hasAppActiveOwner = [] { return APMAnalytics::hasAppActiveOwner(); };
  hooks.queueOperationWithBlock = [](std::function<void()> block) { APMAnalytics::queueOperationWithBlock(std::move(block)); };
  APMSetAnalyticsHooks(std::move(hooks));
}

// The store's "_err" events, the front's refused names among them, take the internal-event road
// from the first call on: the operation queue holds them until analytics starts.
void installInternalEventLogger() {
  APMSetInternalEventLogger([](const std::string& origin, const std::string& name,
                               const platform::Dictionary& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
  });
}

const bool kInternalEventLoggerInstalledAtLoad = [] {
  installInternalEventLogger();
  return true;
}();

// Until a screen-view reporter owns it, the front keeps the application-active state: observed from
// library load, since the host may become active before it configures the SDK.
// Once an owner is installed, the front hands it both activation changes, before the engine's
// observers see them: the session the engine asks about must find the application active.
const bool kObservingActivationAtLoad = [] {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                     [](const platform::Notification&) {
                       APMAnalytics::setAppActive(true);
                       if (auto owner = collaborators()->applicationDidBecomeActive) owner(createdEngineContext());
                     });
  center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr, nullptr,
                     [](const platform::Notification&) {
                       if (auto owner = collaborators()->applicationWillResignActive) owner(createdEngineContext());
                     });
  return true;
}();

// The safelist of the start options: kept only when every entry is a valid internal event name.
std::vector<std::string> safelistFromOptions(const platform::Object& value) {
  if (value.isNull()) return {};
  if (!value.isArray()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kInvalidSafelistedEventParameter,
           "Invalid safelisted event parameter. Type must be an array");
    return {};
  }
  std::vector<std::string> names;
  for (const auto& element : value.arrayValue()) {
    int failure = 0;
    if (!element.isString() || !APMDataTypeValidator::isValidInternalEventName(element.stringValue(), &failure)) {
      APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kInvalidEventNameSafelisting,
             "Invalid event name for safelisting. Name", element.description());
      return {};
    }
    names.push_back(element.stringValue());
  }
  return names;
}

}  // namespace

// MARK: - Queues

const std::shared_ptr<platform::DispatchQueue>& APMAnalytics::queue() { return state().serialQueue; }

void APMAnalytics::dispatchAsyncOnSerialQueue(Block block) {
  if (!block) return;
  state().serialQueue->async(guarded(std::move(block)));
}

bool APMAnalytics::isCurrentQueueSerialQueue() { return platform::DispatchQueue::currentLabel() == kQueueLabel; }

namespace {

// Whether the calling thread runs on one of the SDK's own queues (the host-drained main queue is
// the host's): there a caller never waits for room, since making room may need that very queue.
bool onSDKQueue() {
  const std::string label = platform::DispatchQueue::currentLabel();
  return !label.empty() && label != platform::DispatchQueue::main()->label();
}

// What a caller does with the room it asks for.
enum class RoomUse {
  kWaitAndTake,  // an event: waits while it does not fit (when the caller may wait), then takes it
  kTake,         // takes it without waiting (the caller holds a lock, having waited before)
  kWait,         // waits as an event would, and takes nothing
};

// Reserves room for an event of the given size, waiting while it does not fit when the caller may
// wait. The room's generation, or none when the call is refused because the process is ending.
std::optional<uint64_t> reserveRoom(FrontState& front, size_t bytes, RoomUse use = RoomUse::kWaitAndTake) {
  auto& room = front.room;
  std::unique_lock<std::mutex> lock(room.mutex);
  auto& waiting = room.statistics.waitingBytes;
  auto fits = [&] { return waiting == 0 || waiting + bytes <= room.maxBytes; };
  if (use != RoomUse::kTake && !fits() && front.started.load() && !front.exiting.load() && !onSDKQueue()) {
    ++room.statistics.waits;
    const bool burstStarts = room.waiters++ == 0 && (!room.lastWaitEnd || platform::uptime() - *room.lastWaitEnd >=
                                                                             APMAnalytics::kWaitForRoomBurstGap);
    if (burstStarts) {
      const size_t waitingNow = waiting;
      const size_t cap = room.maxBytes;
      lock.unlock();  // a log sink may take locks of its own
      APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kCallersWaitForRoom,
             "Events are logged faster than they are stored. Callers wait for room. Bytes waiting, limit",
             static_cast<int64_t>(waitingNow), static_cast<int64_t>(cap));
      lock.lock();
    }
    const auto start = std::chrono::steady_clock::now();
    room.freed.wait(lock, [&] { return fits() || front.exiting.load(); });
    room.statistics.waitSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    --room.waiters;
    room.lastWaitEnd = platform::uptime();
  }
  if (front.exiting.load()) return std::nullopt;  // refused like every call once the process ends
  if (use == RoomUse::kWait) return room.generation;
  waiting += bytes;
  room.statistics.peakWaitingBytes = std::max(room.statistics.peakWaitingBytes, waiting);
  return room.generation;
}

void releaseRoom(FrontState& front, size_t bytes, uint64_t generation) {
  if (bytes == 0) return;
  auto& room = front.room;
  {
    std::lock_guard<std::mutex> lock(room.mutex);
    if (room.generation != generation) return;
    auto& waiting = room.statistics.waitingBytes;
    waiting -= std::min(bytes, waiting);
  }
  room.freed.notify_all();
}

uint64_t roomGeneration(FrontState& front) {
  std::lock_guard<std::mutex> lock(front.room.mutex);
  return front.room.generation;
}

// Serial queue: the events handed on since the last marker give their room back once the worker
// queue reaches the marker (behind them: they are stored by then). With waitForWorker, lets the
// worker queue catch up when too many hand-off steps wait on it.
void markHandOffStep(FrontState& front, bool waitForWorker) {
  const size_t bytes = std::exchange(front.bytesHandedSinceMarker, 0);
  const uint64_t generation = roomGeneration(front);
  auto measurement = engine();
  if (!measurement) return releaseRoom(front, bytes, generation);  // no engine: nothing is kept
  auto window = front.handOffWindow;
  {
    std::lock_guard<std::mutex> lock(window->mutex);
    ++window->posted;
  }
  measurement->setup().scheduler->workerQueue()->async([window, bytes, generation] {
    releaseRoom(state(), bytes, generation);
    {
      std::lock_guard<std::mutex> lock(window->mutex);
      ++window->reached;
    }
    window->changed.notify_all();
  });
  if (!waitForWorker) return;
  std::unique_lock<std::mutex> lock(window->mutex);
  window->changed.wait_for(lock, std::chrono::duration<double>(APMAnalytics::kHandOffWaitLimit), [&] {
    return window->posted - window->reached <= APMAnalytics::kMaxHandOffStepsInEngine || front.abandonHandOff;
  });
}

// Serial queue: hands one event to the engine.
void handOffEvent(FrontState& front, APMBufferedEvent& event) {
  front.bytesHandedSinceMarker += event.bytes;
  // One event's failure must not cost the events behind it.
  runGuarded([&] {
    auto measurement = engine();
    if (!measurement) return;
    measurement->eventRoad().logCompactEventWithOrigin(
        event.origin, event.isPublicEvent, event.name, std::move(event.parameters), event.timestamp,
        {.enabled = APMAnalyticsCollection::isAnalyticsCollectionEnabled()}, APMAnalyticsListeners::interceptor(), std::move(event.addedScreenParameters));
  });
  if (++front.handedSinceMarker >= APMAnalytics::kHandOffStep) {
    front.handedSinceMarker = 0;
    markHandOffStep(front, true);
  }
}

// Serial queue: runs an operation queued among the events, then hands on, in its place, the
// events it logged. False when the process gave up handing events on meanwhile.
bool runOperationAmongEvents(FrontState& front, const QueuedOperation& operation) {
  APMAnalyticsEventBuffer logged;
  {
    APMAnalyticsEventBuffer* outer = std::exchange(tOperationEvents, &logged);
    runGuarded(operation.block);
    tOperationEvents = outer;
  }
  front.bytesHandedSinceMarker += operation.bytes;
  while (auto event = logged.next()) {
    if (front.abandonHandOff.load(std::memory_order_relaxed)) return false;
    handOffEvent(front, *event);
  }
  return true;
}

// Serial queue: hands every event of the batch to the engine, in order, running each operation
// queued among them in its place.
void handOffBatch(const std::shared_ptr<EventBatch>& batch) {
  auto& front = state();
  APMAnalyticsEventBuffer events;
  std::vector<QueuedOperation> operations;
  {
    std::lock_guard<std::mutex> lock(front.operations.mutex);
    if (front.operations.openBatch == batch) front.operations.openBatch = nullptr;
    events = std::move(batch->events);
    operations = std::move(batch->operations);
  }
  auto operation = operations.begin();
  // Runs the operations queued after the first `handed` events of the batch.
  auto runOperationsAfter = [&](size_t handed) {
    for (; operation != operations.end() && operation->after <= handed; ++operation) {
      if (!runOperationAmongEvents(front, *operation)) return false;
    }
    return true;
  };
  size_t handed = 0;
  while (auto event = events.next()) {
    if (front.abandonHandOff.load(std::memory_order_relaxed)) return;
    if (!runOperationsAfter(handed++)) return;
    handOffEvent(front, *event);
  }
  if (!runOperationsAfter(SIZE_MAX)) return;
  if (front.bytesHandedSinceMarker > 0) markHandOffStep(front, false);
}

APMAnalytics::Block handOffBlock(std::shared_ptr<EventBatch> batch) {
  return [batch = std::move(batch)] { handOffBatch(batch); };
}

// Operation-queue lock held: the batch that what is queued now joins.
EventBatch& openBatchLocked(FrontState& front) {
  auto& operations = front.operations;
  if (operations.suspended) {
    if (operations.pending.empty() || !operations.pending.back().batch) {
      operations.pending.push_back(Operation{nullptr, std::make_shared<EventBatch>()});
    }
    return *operations.pending.back().batch;
  }
  if (!operations.openBatch) {
    operations.openBatch = std::make_shared<EventBatch>();
    front.serialQueue->async(guarded(handOffBlock(operations.openBatch)));
  }
  return *operations.openBatch;
}

// Appends one encoded event (operation-queue lock taken here): to the events of the operation
// running on this thread, if any, else to the open batch. False when refused.
bool appendEvent(FrontState& front, const std::string& encoded, double timestamp) {
  if (front.exiting.load(std::memory_order_relaxed)) return false;
  if (APMAnalyticsEventBuffer* logged = tOperationEvents) {
    logged->append(encoded, timestamp);
    return true;
  }
  std::lock_guard<std::mutex> lock(front.operations.mutex);
  if (front.exiting.load(std::memory_order_relaxed)) return false;
  EventBatch& batch = openBatchLocked(front);
  batch.events.append(encoded, timestamp);
  ++batch.appended;
  return true;
}

// Queues one event: encoded on the caller's thread, then room reserved for it (which may wait),
// then its time taken (now, in the timestamp queue, when none is given) and appended.
void queueEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                const platform::Dictionary& parameters, std::optional<double> timestamp,
                const platform::Dictionary* screen) {
  auto& front = state();
  thread_local std::string encoded;
  APMAnalyticsEventBuffer::encode(encoded, origin, isPublicEvent, name, parameters, screen);
  const size_t bytes = APMAnalyticsEventBuffer::appendedSize(encoded);
  if (auto generation = reserveRoom(front, bytes)) {
    bool queued = false;
    if (timestamp) {
      queued = appendEvent(front, encoded, *timestamp);
    } else {
      // Time and queueing in one step of the timestamp queue: operations enter the queue in time order.
      front.timestampQueue->sync([&] { queued = appendEvent(front, encoded, platform::now()); });
    }
    if (!queued) releaseRoom(front, bytes, *generation);
  }
  if (encoded.capacity() > APMAnalyticsEventBuffer::kChunkBytes) std::string().swap(encoded);  // not a huge event's
}

std::shared_ptr<const platform::Dictionary> screenSnapshot() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  return front.screenParameters;
}

// Operation-queue lock held: parks the block while the queue is suspended, else hands it on at
// once, so operations reach the serial queue in the order they were queued; later events start a
// new batch behind it. Whether it was handed on.
bool queueBlockLocked(FrontState& front, APMAnalytics::Block block) {
  if (front.exiting.load(std::memory_order_relaxed)) return false;
  if (front.operations.suspended) {
    front.operations.pending.push_back(Operation{std::move(block), nullptr});
    return false;
  }
  front.operations.openBatch = nullptr;
  front.serialQueue->async(guarded(std::move(block)));
  return true;
}

}  // namespace

void APMAnalytics::queueOperationWithBlock(Block block) {
  if (!block) return;
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.operations.mutex);
  queueBlockLocked(front, std::move(block));
}

void APMAnalytics::queueOperationWithBlockThenWait(Block block) {
  if (!block) return;
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.operations.mutex);
  // Every earlier operation has already been handed to the serial queue (an operation's only work),
  // so there is nothing to wait for: holding the queue is all that is left to do, and no caller
  // (the worker queue included) ever blocks here.
  if (!queueBlockLocked(front, std::move(block))) return;
  front.operations.suspended = true;
  uint64_t generation = front.operations.generation;
  front.serialQueue->after(kResumeDelayAfterWait, [generation] {
    auto& current = state();
    {
      std::lock_guard<std::mutex> relock(current.operations.mutex);
      if (current.operations.generation != generation) return;
    }
    unsuspendOperationQueue();
  });
}

void APMAnalytics::waitForEventRoom(size_t bytes) { reserveRoom(state(), bytes, RoomUse::kWait); }

void APMAnalytics::queueOperationAmongEvents(Block block, size_t bytes) {
  if (!block) return;
  auto& front = state();
  auto generation = reserveRoom(front, bytes, RoomUse::kTake);
  if (!generation) return;
  {
    std::lock_guard<std::mutex> lock(front.operations.mutex);
    if (!front.exiting.load(std::memory_order_relaxed)) {
      EventBatch& batch = openBatchLocked(front);
      batch.operations.push_back(QueuedOperation{batch.appended, std::move(block), bytes});
      return;
    }
  }
  releaseRoom(front, bytes, *generation);
}

void APMAnalytics::queueEngineOperationAmongEvents(EngineBlock block, size_t bytes) {
  if (!block) return;
  queueOperationAmongEvents([block = std::move(block)] { block(createdEngineContext()); }, bytes);
}

void APMAnalytics::unsuspendOperationQueue() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.operations.mutex);
  while (!front.operations.pending.empty()) {
    Operation& operation = front.operations.pending.front();
    front.serialQueue->async(guarded(operation.batch ? handOffBlock(std::move(operation.batch))
                                                     : std::move(operation.block)));
    front.operations.pending.pop_front();
  }
  front.operations.openBatch = nullptr;
  front.operations.suspended = false;
}

bool APMAnalytics::isOperationQueueSuspended() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.operations.mutex);
  return front.operations.suspended;
}

double APMAnalytics::loadTimestamp() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.loadTimeMutex);
  return front.loadTime;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.loadTimeMutex);
  front.loadTime = timestamp;
}

// MARK: - Exit

namespace {

// Whether what the API accepted so far has reached the engine and been stored, within the time.
bool handedOnAndStored(FrontState& front, double seconds) {
  auto stored = std::make_shared<platform::Semaphore>();
  front.serialQueue->async([stored] {
    auto measurement = APMEngineRegistry::hasSharedInstance() ? engine() : nullptr;
    if (!measurement) return stored->signal();
    // Events handed on so far wait in groups on the worker queue, ahead of this block.
    measurement->setup().scheduler->workerQueue()->async([stored] { stored->signal(); });
  });
  return stored->wait(seconds);
}

// The end of the process: the threads of the SDK must not run while static objects are destroyed,
// and the database must be closed so that what it holds is in its file, not in its log.
void flushAndStopAtExit() {
  auto& front = state();
  bool operating = false;
  {
    std::lock_guard<std::mutex> lock(front.operations.mutex);
    front.exiting = true;
    operating = !front.operations.suspended;  // before the start, nothing was handed on
  }
  {
    std::lock_guard<std::mutex> lock(front.room.mutex);  // a caller about to wait for room sees the flag
  }
  front.room.freed.notify_all();
  if (operating && !handedOnAndStored(front, front.exitFlushTimeLimit.load())) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kNotEveryEventStoredBeforeProcess,
           "Not every event was stored before the process ended. Events dropped");
    auto window = front.handOffWindow;
    {
      std::lock_guard<std::mutex> lock(window->mutex);  // a hand-off about to wait sees the flag
      front.abandonHandOff = true;
    }
    window->changed.notify_all();
  }
  for (const auto& queue : {front.serialQueue, front.timestampQueue, front.callbackQueue}) {
    queue->stop(APMAnalytics::kExitStopWait);
  }
  if (APMEngineRegistry::hasSharedInstance()) {
    if (auto measurement = engine()) measurement->shutDownForExit(APMAnalytics::kExitStopWait);
  }
  APMEngineRegistry::monitor()->flush();
  DULLoggerFlush();
  platform::DispatchQueue::stopAll(APMAnalytics::kExitStopWait);
  platform::HttpClient::shared().shutdown();
  platform::UserDefaults::synchronizeAll();
}

// Registered once, at the first start. What the handler uses is created first: objects register
// their own clean-up when created, and clean-ups registered earlier run later.
void registerExitHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::HttpClient::shared();
    platform::UserDefaults::standard();
    // On a thread of its own: the exiting thread's thread-local objects are gone by now.
    std::atexit([] { std::thread(flushAndStopAtExit).join(); });
  });
}

}  // namespace

void APMAnalytics::setExitFlushTimeLimitForTesting(double seconds) { state().exitFlushTimeLimit = seconds; }

// MARK: - Start

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options, const void* configuration) {
  auto& front = state();
  if (platform::ClassRegistry::exists(kOlderFrameworkClassName)) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kDetectedOlderVersionDirodaAnalyticsZoredode,
           "Detected an older version of Diroda Analytics for Zoredode framework. Data collection will be "
           "disabled. Please upgrade to the latest version of Diroda Analytics for Zoredode");
    return;
  }
  if (platform::ClassRegistry::exists(kPublicAPIClassName)) {
    if (origin != kOriginStart) {
      APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kDeferringZoredodeEventDataCollection,
             "Deferring to Zoredode for event data collection");
      return;
    }
  } else if (auto path = APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath(); path && !path->empty()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kDeferringDirodaAnalyticsZoredodeEventData,
           std::string("Deferring to Diroda Analytics for Zoredode for event data collection. ") +
               kDeferringDocumentationLink);
    return;
  }
  if (!options.empty()) {
    platform::Object tag = valueFor(options, kOptionLogTag);
    if (tag.isString() && !tag.stringValue().empty()) {
      APMEngineRegistry::monitor()->setLogTag(tag.stringValue());
    } else {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kInvalidMonitorTag,
             "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  bool expected = false;
  if (!front.started.compare_exchange_strong(expected, true)) return;
  registerExitHandlerOnce();
  installEngineHooks();

  if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone) {
    APMAnalyticsConsent::loadPersistedConsentSettings();
  }
  if (origin == kOriginStart) {
    if (auto identity = APMIdentity::sharedInstance(); identity && identity->appIDFromDMP() != appID) {
      identity->setAppIDFromDMP(appID);
    }
  }
  platform::NotificationCenter::defaultCenter().post(kWillStartNotification);
  APMIdentifiers::sharedInstance()->setOrigin(origin);

  bool enabled = true;
  bool deactivated = false;
  std::vector<std::string> safelist;
  if (!options.empty()) {
    if (auto v = optionalBool(valueFor(options, kOptionCollectionEnabled))) enabled = *v;
    if (auto v = optionalBool(valueFor(options, kOptionCollectionDeactivated))) deactivated = *v;
    safelist = safelistFromOptions(valueFor(options, kOptionSafelistedEvents));
    auto onStart = APMConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!onStart.empty()) {
      APMAnalyticsSuite::userDefaults().setObject(platform::Object(onStart), APMAnalyticsConsent::kConsentSettingsOnStartKey);
    }
  }
  APMAnalyticsCollection::setCollectionDeactivatedAtStart(deactivated);

  dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    APMEngineRegistry::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    if (DODOvaRudodazuVedevoro::isAppDelegateProxyEnabled()) {
      if (!deactivated) platform::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
    } else {
      APMLog(APMLogLevel::kNotice, APMAnalyticsLogCode::kAppDelegateProxyDisabled, "App Delegate Proxy is disabled");
    }
    auto measurement = engine();
    APMAnalyticsCollection::setCollectionEnabledAtStart(measurement && measurement->wasEnabledDuringInitialization());
    maybeEnableTagRuntime();
  });
  if (configuration) APMAnalyticsCollection::observeNotificationsForAnalyticsConfiguration(configuration);
  unsuspendOperationQueue();
}

bool APMAnalytics::isStarted() { return state().started.load(); }

// MARK: - Events

void APMAnalytics::logEventWithName(const std::string& name, const platform::Dictionary& parameters) {
  logEventWithOrigin(kOriginApp, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicEventName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedEventName, kAPMErrorEventInvalidEventName,
                   name, APMDataTypeValidator::kMaxEventNameLength);
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (name == kScreenViewEventName) {
    double now = platform::now();
    if (auto track = collaborators()->trackScreenWithParameters) track(parameters, now);
    return;
  }
  auto screen = APMHasScreenParameters(parameters) ? nullptr : screenSnapshot();
  queueEvent(origin, isPublicEvent, name, parameters, std::nullopt, screen.get());
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const platform::Dictionary& parameters) {
  auto screen = APMHasScreenParameters(parameters) ? nullptr : screenSnapshot();
  queueEvent(origin, false, name, parameters, timestamp, screen.get());
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      const APMLogEventOptions& options) {
  queueOperationWithBlock([=, parameters = APMParametersWithinStorableNesting(parameters)]() mutable {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, options, {});
  });
}

void APMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, platform::Dictionary parameters,
                                                   double timestamp, const APMLogEventOptions& options,
                                                   platform::Dictionary addedScreenParameters) {
  int failure = 0;
  if (options.ignoreInterceptor && addedScreenParameters.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) {
    addedScreenParameters = APMScreenParametersFromDictionary(parameters);
    for (const auto& entry : addedScreenParameters) parameters.erase(entry.first);
  }
  auto measurement = engine();
  if (!measurement) return;
  APMLogEventOptions handedOn = options;
  handedOn.enabled = APMAnalyticsCollection::isAnalyticsCollectionEnabled();
  measurement->eventRoad().logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, handedOn,
                                              APMAnalyticsListeners::interceptor(), addedScreenParameters);
}

void APMAnalytics::setEventRoadOptions(const APMEventRoadOptions& options) {
  auto& room = state().room;
  {
    std::lock_guard<std::mutex> lock(room.mutex);
    room.maxBytes = options.maxWaitingEventBytes;
  }
  room.freed.notify_all();  // a larger cap may make room at once
}

APMEventRoadOptions APMAnalytics::eventRoadOptions() {
  auto& room = state().room;
  std::lock_guard<std::mutex> lock(room.mutex);
  APMEventRoadOptions options;
  options.maxWaitingEventBytes = room.maxBytes;
  return options;
}

APMEventRoadStatistics APMAnalytics::eventRoadStatistics() {
  auto& room = state().room;
  std::lock_guard<std::mutex> lock(room.mutex);
  return room.statistics;
}

void APMAnalytics::logTransaction(const APMTransactionInfo& transaction) {
  if (auto report = collaborators()->reportTransaction) report(transaction);
}

void APMAnalytics::paymentQueueUpdatedTransactions(std::vector<APMPurchaseTransaction> transactions) {
  queueOperationWithBlock([transactions = std::move(transactions)]() mutable {
    auto measurement = engine();
    if (!measurement || !APMAnalyticsCollection::isAnalyticsCollectionEnabled()) return;
    measurement->filterPurchaseTransactions(std::move(transactions), [](std::vector<APMPurchaseTransaction> kept) {
      if (auto report = collaborators()->reportFilteredTransactions) report(kept);
    });
  });
}

// MARK: - Screen state

void APMAnalytics::setCurrentScreenParameters(platform::Dictionary screenParameters) {
  auto snapshot = screenParameters.empty()
                      ? nullptr
                      : std::make_shared<const platform::Dictionary>(std::move(screenParameters));
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  front.screenParameters = std::move(snapshot);
}

platform::Dictionary APMAnalytics::currentScreenParameters() {
  auto snapshot = screenSnapshot();
  return snapshot ? *snapshot : platform::Dictionary{};
}

void APMAnalytics::setAppActive(bool active) { state().appActive = active; }

bool APMAnalytics::isAppActive() {
  auto owner = collaborators();
  return owner->isAppActive ? owner->isAppActive() : state().appActive.load();
}

bool APMAnalytics::hasAppActiveOwner() { return static_cast<bool>(collaborators()->isAppActive); }
bool APMIsAppActive() { return APMAnalytics::isAppActive(); }

// MARK: - User properties

namespace {

// About what a user-property change holds while it waits among the events (its closure and the
// property), for the room it takes.
constexpr size_t kQueuedUserPropertyOverheadBytes = 256;

size_t queuedUserPropertyBytes(const APMUserAttribute& attribute) {
  const APMValue& value = attribute.value();
  return kQueuedUserPropertyOverheadBytes + attribute.name().size() + attribute.origin().size() +
         (value.isString() ? value.stringValue().size() : 0);
}

void setPersonalizedAdsOnSerialQueue(const platform::Object& value) {
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
    APMLog(APMLogLevel::kDebug, APMAnalyticsLogCode::kPersonalizedAdsPropertyChangedWhileAnalytics,
           "Personalized Ads property changed while Analytics is disabled");
  }
  auto persisted = APMPersistedConfig::sharedInstance();
  if (value.isNull()) {
    if (persisted) persisted->setAllowPersonalizedAds(std::nullopt);
    if (APMConsentSettingsUtil::adPersonalization()) APMConsentSettingsUtil::unsetAdPersonalization();
  } else if (persisted) {
    persisted->setAllowPersonalizedAds(value.boolValue());
  }
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) return;
  auto measurement = engine();
  if (!measurement) return;
  auto npa = measurement->userProperties().shouldDisableAdPersonalization();
  auto attribute = std::make_shared<APMUserAttribute>(APMAnalytics::kOriginAuto,
                                                      APMAnalytics::kNonPersonalizedAdsPropertyName,
                                                      APMValue(npa.value_or(0)), platform::now());
  if (npa) {
    measurement->userProperties().setUserAttribute(attribute);
  } else {
    measurement->userProperties().removeUserAttribute(attribute);
  }
}

}  // namespace

void APMAnalytics::setUserPropertyString(const platform::Object& value, const std::string& name) {
  if (name == kAllowPersonalizedAdsName) {
    queueOperationWithBlock([value] { setPersonalizedAdsOnSerialQueue(value); });
    return;
  }
  if (value.isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isString()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserPropertyMustNSString, "User property must be NSString. Value",
           value.description());
    return;
  }
  APMValue wrapped(value.stringValue());
  if (APMDataTypeValidator::isValidPublicUserAttributeValue(wrapped, &failure)) {
    sharedInstance().setInternalUserProperty(value, name, kOriginApp);
  } else if (failure == kAPMValidationTooLong) {
    APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, value);
  }
}

void APMAnalytics::setUserID(const platform::Object& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName(kUserIDPropertyName);
    removeInternalUserAttributeForName(kLastAdvertisingIDResetPropertyName);
  } else if (userID.isString()) {
    sharedInstance().setInternalUserProperty(userID, kUserIDPropertyName, kOriginApp);
  } else {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserIDMustNSString, "User ID must be NSString. User ID",
           userID.description());
  }
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return;
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = std::make_shared<APMUserAttribute>("", name, APMValue(0.0), platform::now());
  const size_t bytes = queuedUserPropertyBytes(*attribute);
  waitForEventRoom(bytes);
  queueOperationAmongEvents([attribute] {
    if (auto measurement = engine()) measurement->userProperties().removeUserAttribute(attribute);
  }, bytes);
}

void APMAnalytics::setUserAttributeNumber(const platform::Object& value, const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isNumber()) return;
  platform::Object number = value.isDouble() ? platform::Object(value.doubleValue()) : platform::Object(value.integerValue());
  sharedInstance().setInternalUserProperty(number, name, kOriginAuto);
}

void APMAnalytics::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  queueOperationWithBlock([includingInternal, queue, callback] {
    if (!callback) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAnalyticsUserPropertiesCallbackCannotNil,
             "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsUserProperties,
             "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    auto measurement = engine();
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled() || !measurement) {
      if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
        APMLog(APMLogLevel::kWarningSampledOnly, APMAnalyticsLogCode::kCannotQueryPublicUserPropertiesWhen,
               "Cannot query for public user properties when Analytics is disabled");
      }
      queue->async([callback] { callback({}); });
      return;
    }
    measurement->userProperties().userPropertiesIncludingInternal(includingInternal, [queue, callback](platform::Dictionary result) {
      queue->async([callback, result = std::move(result)] { callback(result); });
    });
  });
}

// MARK: - Switches and queries

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    if (seconds < 0) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kSessionTimeoutIntervalCannotSetNegative,
             "Session timeout interval cannot be set to a negative value");
      return;
    }
    auto measurement = engine();
    if (measurement && measurement->didInitializeComponents()) {
      measurement->setSessionTimeoutInterval(seconds);
    } else if (auto persisted = APMPersistedConfig::sharedInstance()) {
      persisted->setSessionTimeoutValue(seconds);
    }
    APMLog(APMLogLevel::kDebug, APMAnalyticsLogCode::kSessionTimeoutIntervalSet, "Session timeout interval set. (s)",
           seconds);
  });
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kAnalyticsSessionIDCompletionCannotNil,
           "Analytics sessionID completion cannot be nil");
    return;
  }
  dispatchAsyncOnSerialQueue([completion] {
    auto measurement = engine();
    auto callbacks = state().callbackQueue;
    if (measurement && measurement->didInitializeComponents()) {
      measurement->sessionIDWithCompletion([completion, callbacks](int64_t id, std::optional<platform::Error> error) {
        callbacks->async([completion, id, error] { completion(id, error); });
      });
      return;
    }
    callbacks->async([completion] { completion(0, APMError::apm_errorWithCode(13, "Analytics uninitialized")); });
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = APMAnalyticsSuite::appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::setUserData(const platform::Dictionary& userData) {
  queueOperationWithBlockThenWait([userData] {
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kAnalyticsDisabled,
             "Analytics is disabled. User data not set.");
      return;
    }
    if (auto measurement = engine()) measurement->setUserData(userData);
  });
}

void APMAnalytics::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  std::optional<platform::Dictionary> shallow;
  if (parameters) shallow = APMParametersWithinStorableNesting(*parameters);
  queueOperationWithBlock([parameters = std::move(shallow)] {
    if (auto measurement = engine()) measurement->userProperties().setDefaultEventParameters(parameters);
  });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
  double now = platform::now();
  if (auto debug = collaborators()->handleSSTGDebugModeWithURL) debug(url);
  dispatchAsyncOnSerialQueue([url, now] {
    if (auto handle = collaborators()->handleNonFirstOpenEventURL) handle(engineContext(), url, now);
    if (auto listener = APMAnalyticsListeners::openURLListener()) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const std::string& activityType, const std::string& webpageURL) {
  double now = platform::now();
  dispatchAsyncOnSerialQueue([activityType, webpageURL, now] {
    auto links = collaborators();
    if (!links->deepLinkFromUserActivity) return;
    std::string url = links->deepLinkFromUserActivity(activityType, webpageURL);
    if (!url.empty() && links->handleNonFirstOpenEventURL) links->handleNonFirstOpenEventURL(engineContext(), url, now);
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  VIZUzedaru::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
}

namespace {
// Receives nothing on this platform; registered so the proxy keeps the measurement side in its list.
class APMAppDelegateInterceptor : public NSApplicationDelegate {
 public:
  static const std::shared_ptr<APMAppDelegateInterceptor>& sharedInstance() {
    // Never destroyed: the SDK's threads may read it until the process has ended.
    static const auto& instance = *new std::shared_ptr<APMAppDelegateInterceptor>(std::make_shared<APMAppDelegateInterceptor>());
    return instance;
  }
};
}  // namespace

void APMAnalytics::createAppDelegateProxy() {
  static std::once_flag once;
  std::call_once(once, [] {
    DODOvaRudodazuVedevoro::proxyOriginalDelegate();
    DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(APMAppDelegateInterceptor::sharedInstance());
  });
}

void APMAnalytics::maybeEnableTagRuntime() {
  if (!platform::ClassRegistry::exists(kTagRuntimeClassName)) return;
  std::any product = platform::ClassRegistry::create(kTagRuntimeClassName);
  if (auto* initialize = std::any_cast<std::function<void()>>(&product); initialize && *initialize) {
    (*initialize)();
    return;
  }
  APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kTagRuntimeWithoutSharedInstance,
         "TAGRuntime class doesn't define initializeSharedInstance");
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(platform::now());
  APMAnalyticsSuite::userDefaults().setInteger(APMAnalyticsSuite::resetRetryCount() + 1, APMAnalyticsSuite::kResetRetryCountKey);
  APMAnalyticsSuite::setNeedFirstOpenAfterReset(true);
  std::string appInstanceID = APMIdentity::randomAppInstanceID();
  if (appInstanceID.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kCannotGenerateNewAppInstanceID,
           "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.clear();
  } else {
    APMAnalyticsSuite::setAppInstanceIDAfterReset(appInstanceID);
  }
  // Queued: the reset waits for the worker queue on the serial queue, never on the caller's thread,
  // so a caller on the worker queue itself cannot deadlock.
  queueOperationWithBlock([appInstanceID] {
    auto measurement = engine();
    if (!measurement || !measurement->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kFailedResetAnalyticsData,
             "Failed to reset Analytics data");
      return;
    }
    APMAnalyticsSuite::setResetRetryCount(0);
    if (APMAnalyticsSuite::appInstanceIDAfterReset() == appInstanceID) APMAnalyticsSuite::setAppInstanceIDAfterReset(std::nullopt);
  });
}

// MARK: - Collaborators and tests

void APMAnalytics::setCollaborators(APMAnalyticsCollaborators collaborators) {
  auto replacement = std::make_shared<const APMAnalyticsCollaborators>(std::move(collaborators));
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.collaboratorsMutex);
  front.collaborators = std::move(replacement);
}

void APMAnalytics::updateCollaborators(const std::function<void(APMAnalyticsCollaborators&)>& change) {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.collaboratorsMutex);
  auto replacement = std::make_shared<APMAnalyticsCollaborators>(*front.collaborators);
  if (change) change(*replacement);
  front.collaborators = std::move(replacement);
}

void APMAnalytics::flushSerialQueueForTesting() {
  auto& front = state();
  if (front.serialQueue->isCurrent()) return;
  front.serialQueue->sync([] {});
}

void APMAnalytics::resetForTesting() {
  auto& front = state();
  flushSerialQueueForTesting();
  front.callbackQueue->sync([] {});
  {
    std::lock_guard<std::mutex> lock(front.operations.mutex);
    front.operations.pending.clear();
    front.operations.openBatch = nullptr;
    front.operations.suspended = true;
    ++front.operations.generation;
  }
  front.serialQueue->sync([] {
    auto& current = state();
    APMAnalyticsListeners::resetOnSerialQueue();
    current.handedSinceMarker = 0;
    current.bytesHandedSinceMarker = 0;
    current.handOffWindow = std::make_shared<HandOffWindow>();
  });
  {
    std::lock_guard<std::mutex> lock(front.room.mutex);
    front.room.maxBytes = APMEventRoadOptions{}.maxWaitingEventBytes;
    front.room.statistics = {};
    front.room.lastWaitEnd.reset();
    ++front.room.generation;
  }
  front.room.freed.notify_all();
  APMAnalyticsCollection::resetForTesting();
  front.started = false;
  front.appActive = kActiveAtLaunch;
  setCurrentScreenParameters({});
  setCollaborators({});
  setLoadTimestamp(platform::now());
  APMSetAnalyticsHooks({});
  installInternalEventLogger();
}

// MARK: - Shared instance

APMAnalytics& APMAnalytics::sharedInstance() {
  static APMAnalytics* instance = new APMAnalytics();
  return *instance;
}

void APMAnalytics::logInternalEvent(const std::string& origin, const std::string& name,
                                    platform::Dictionary parameters) {
  if (origin == kOriginAdExposure) {
    auto it = parameters.find("_aeid");
    if (it != parameters.end() && it->second.isString()) {
      const std::string& text = it->second.stringValue();
      std::optional<int64_t> number;
      if (APMIsDecimalString(text)) {
        try {
          number = static_cast<int64_t>(std::stoll(text));
        } catch (const std::exception&) {
          number.reset();  // out of the 64-bit range: kept as text
        }
      }
      if (number) {
        it->second = platform::Object(*number);
      } else {
        APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAdEventIDStringNotNumber,
               "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, std::move(parameters));
}

void APMAnalytics::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                           const std::string& origin) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name, &failure)) {
    APMLogErrorEventForName(kAPMErrorEventInvalidUserPropertyName, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, platform::Object(name));
    return;
  }
  if (origin.empty() || origin.size() > APMDataTypeValidator::kMaxOriginLength) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kUnableSetUserProperty,
           "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  if (value.isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  auto apmValue = APMValue::valueFromObject(value);
  if (!apmValue) return;
  if (APMDataTypeValidator::isValidInternalUserAttributeValue(*apmValue, name, &failure)) {
    auto attribute = std::make_shared<APMUserAttribute>(origin, name, *apmValue, platform::now());
    const size_t bytes = queuedUserPropertyBytes(*attribute);
    waitForEventRoom(bytes);
    queueOperationAmongEvents([attribute] {
      if (auto measurement = engine()) measurement->userProperties().setUserAttribute(attribute);
    }, bytes);
    return;
  }
  if (failure != kAPMValidationTooLong) return;
  platform::Object shown = apmValue->isString()  ? platform::Object(apmValue->stringValue())
                           : apmValue->isInt64() ? platform::Object(std::to_string(apmValue->int64Value()))
                           : apmValue->isDouble() ? platform::Object(apmValue->description())
                                                  : platform::Object();
  APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name, APMDataTypeValidator::kMaxUserAttributeNameLength,
                          shown);
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserProperties,
           "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserPropertiesQueue,
           "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", origin);
    return;
  }
  if (!callback) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kNilMaxUserPropertiesCallback,
           "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  // Without an engine the answer is the fixed per-origin limit, given at once rather than held
  // behind a start that may never come.
  if (!APMEngineRegistry::hasSharedInstance()) {
    queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
    return;
  }
  queueOperationWithBlock([origin, queue, callback] {
    auto measurement = engine();
    if (!measurement) {
      queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
      return;
    }
    measurement->userProperties().maxUserPropertiesForOrigin(origin, [queue, callback](int64_t limit) {
      queue->async([callback, limit] { callback(limit); });
    });
  });
}
