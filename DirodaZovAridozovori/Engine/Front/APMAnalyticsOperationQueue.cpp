#include "APMAnalyticsOperationQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "APMAnalyticsCollection.h"
#include "APMAnalyticsEventBuffer.h"
#include "APMAnalyticsListeners.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsStartUp.h"
#include "APMAnalyticsSupport.h"
#include "APMEngineRegistry.h"
#include "APMEngineEventRoad.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "platform/Clock.h"
#include "platform/Http.h"
#include "platform/Semaphore.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

using namespace apmfront;

namespace {

// Serial queue: while an operation queued among the events runs, the events it logs through the
// front on this thread wait here, to be handed on in its place.
thread_local APMAnalyticsEventBuffer* tOperationEvents = nullptr;
// The room an operation's events start with: a screen view logs one or two small events.
constexpr size_t kOperationEventBytes = 512;

// An operation queued among the events: it runs after the batch's first `after` events, and holds
// about `bytes` of the room until then.
struct QueuedOperation {
  size_t after = 0;
  APMAnalyticsOperationQueue::Block block;
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
  APMAnalyticsOperationQueue::Block block;
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

struct QueueState {
  std::shared_ptr<platform::DispatchQueue> serialQueue =
      platform::DispatchQueue::create(APMAnalyticsOperationQueue::kQueueLabel);
  std::shared_ptr<platform::DispatchQueue> timestampQueue =
      platform::DispatchQueue::create(APMAnalyticsOperationQueue::kTimestampQueueLabel);
  std::shared_ptr<platform::DispatchQueue> callbackQueue =
      platform::DispatchQueue::create(APMAnalyticsOperationQueue::kCallbackQueueLabel);
  OperationQueue operations;

  std::shared_ptr<HandOffWindow> handOffWindow = std::make_shared<HandOffWindow>();
  size_t handedSinceMarker = 0;  // serial queue only
  size_t bytesHandedSinceMarker = 0;  // serial queue only
  EventRoom room;

  // The process is ending: calls are refused (set under the operation-queue lock). Past the exit
  // time limit, the hand-off also stops.
  std::atomic<bool> exiting{false};
  std::atomic<bool> abandonHandOff{false};
  std::atomic<double> exitFlushTimeLimit{APMAnalyticsOperationQueue::kExitFlushTimeLimit};
};

QueueState& queueState() {
  static QueueState* queues = new QueueState();  // lives for the whole process: the SDK's threads use it to the end
  return *queues;
}

}  // namespace

// MARK: - Queues

const std::shared_ptr<platform::DispatchQueue>& APMAnalyticsOperationQueue::queue() { return queueState().serialQueue; }

void APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue(Block block) {
  if (!block) return;
  queueState().serialQueue->async(guarded(std::move(block)));
}

bool APMAnalyticsOperationQueue::isCurrentQueueSerialQueue() {
  return platform::DispatchQueue::currentLabel() == kQueueLabel;
}

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
std::optional<uint64_t> reserveRoom(QueueState& queues, size_t bytes, RoomUse use = RoomUse::kWaitAndTake) {
  auto& room = queues.room;
  std::unique_lock<std::mutex> lock(room.mutex);
  auto& waiting = room.statistics.waitingBytes;
  auto fits = [&] { return waiting == 0 || waiting + bytes <= room.maxBytes; };
  if (use != RoomUse::kTake && !fits() && APMAnalyticsStartUp::isStarted() && !queues.exiting.load() && !onSDKQueue()) {
    ++room.statistics.waits;
    const bool burstStarts =
        room.waiters++ == 0 && (!room.lastWaitEnd || platform::uptime() - *room.lastWaitEnd >=
                                                         APMAnalyticsOperationQueue::kWaitForRoomBurstGap);
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
    room.freed.wait(lock, [&] { return fits() || queues.exiting.load(); });
    room.statistics.waitSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    --room.waiters;
    room.lastWaitEnd = platform::uptime();
  }
  if (queues.exiting.load()) return std::nullopt;  // refused like every call once the process ends
  if (use == RoomUse::kWait) return room.generation;
  waiting += bytes;
  room.statistics.peakWaitingBytes = std::max(room.statistics.peakWaitingBytes, waiting);
  return room.generation;
}

void releaseRoom(QueueState& queues, size_t bytes, uint64_t generation) {
  if (bytes == 0) return;
  auto& room = queues.room;
  {
    std::lock_guard<std::mutex> lock(room.mutex);
    if (room.generation != generation) return;
    auto& waiting = room.statistics.waitingBytes;
    waiting -= std::min(bytes, waiting);
  }
  room.freed.notify_all();
}

uint64_t roomGeneration(QueueState& queues) {
  std::lock_guard<std::mutex> lock(queues.room.mutex);
  return queues.room.generation;
}

// Serial queue: the events handed on since the last marker give their room back once the worker
// queue reaches the marker (behind them: they are stored by then). With waitForWorker, lets the
// worker queue catch up when too many hand-off steps wait on it.
void markHandOffStep(QueueState& queues, bool waitForWorker) {
  const size_t bytes = std::exchange(queues.bytesHandedSinceMarker, 0);
  const uint64_t generation = roomGeneration(queues);
  auto measurement = engine();
  if (!measurement) return releaseRoom(queues, bytes, generation);  // no engine: nothing is kept
  auto window = queues.handOffWindow;
  {
    std::lock_guard<std::mutex> lock(window->mutex);
    ++window->posted;
  }
  measurement->setup().scheduler->workerQueue()->async([window, bytes, generation] {
    releaseRoom(queueState(), bytes, generation);
    {
      std::lock_guard<std::mutex> lock(window->mutex);
      ++window->reached;
    }
    window->changed.notify_all();
  });
  if (!waitForWorker) return;
  std::unique_lock<std::mutex> lock(window->mutex);
  window->changed.wait_for(lock, std::chrono::duration<double>(APMAnalyticsOperationQueue::kHandOffWaitLimit), [&] {
    return window->posted - window->reached <= APMAnalyticsOperationQueue::kMaxHandOffStepsInEngine ||
           queues.abandonHandOff;
  });
}

// Serial queue: hands one event to the engine.
void handOffEvent(QueueState& queues, APMBufferedEvent& event) {
  queues.bytesHandedSinceMarker += event.bytes;
  // One event's failure must not cost the events behind it.
  runGuarded([&] {
    auto measurement = engine();
    if (!measurement) return;
    measurement->eventRoad().logCompactEventWithOrigin(
        event.origin, event.isPublicEvent, event.name, std::move(event.parameters), event.timestamp,
        {.enabled = APMAnalyticsCollection::isAnalyticsCollectionEnabled()}, APMAnalyticsListeners::interceptor(),
        std::move(event.addedScreenParameters));
  });
  if (++queues.handedSinceMarker >= APMAnalyticsOperationQueue::kHandOffStep) {
    queues.handedSinceMarker = 0;
    markHandOffStep(queues, true);
  }
}

// Serial queue: runs an operation queued among the events, then hands on, in its place, the
// events it logged. False when the process gave up handing events on meanwhile.
bool runOperationAmongEvents(QueueState& queues, const QueuedOperation& operation) {
  APMAnalyticsEventBuffer logged(kOperationEventBytes);
  {
    APMAnalyticsEventBuffer* outer = std::exchange(tOperationEvents, &logged);
    runGuarded(operation.block);
    tOperationEvents = outer;
  }
  queues.bytesHandedSinceMarker += operation.bytes;
  while (auto event = logged.next()) {
    if (queues.abandonHandOff.load(std::memory_order_relaxed)) return false;
    handOffEvent(queues, *event);
  }
  return true;
}

// Serial queue: hands every event of the batch to the engine, in order, running each operation
// queued among them in its place.
void handOffBatch(const std::shared_ptr<EventBatch>& batch) {
  auto& queues = queueState();
  APMAnalyticsEventBuffer events;
  std::vector<QueuedOperation> operations;
  {
    std::lock_guard<std::mutex> lock(queues.operations.mutex);
    if (queues.operations.openBatch == batch) queues.operations.openBatch = nullptr;
    events = std::move(batch->events);
    operations = std::move(batch->operations);
  }
  auto operation = operations.begin();
  // Runs the operations queued after the first `handed` events of the batch.
  auto runOperationsAfter = [&](size_t handed) {
    for (; operation != operations.end() && operation->after <= handed; ++operation) {
      if (!runOperationAmongEvents(queues, *operation)) return false;
    }
    return true;
  };
  size_t handed = 0;
  while (auto event = events.next()) {
    if (queues.abandonHandOff.load(std::memory_order_relaxed)) return;
    if (!runOperationsAfter(handed++)) return;
    handOffEvent(queues, *event);
  }
  if (!runOperationsAfter(SIZE_MAX)) return;
  if (queues.bytesHandedSinceMarker > 0) markHandOffStep(queues, false);
}

APMAnalyticsOperationQueue::Block handOffBlock(std::shared_ptr<EventBatch> batch) {
  return [batch = std::move(batch)] { handOffBatch(batch); };
}

// Operation-queue lock held: the batch that what is queued now joins.
EventBatch& openBatchLocked(QueueState& queues) {
  auto& operations = queues.operations;
  if (operations.suspended) {
    if (operations.pending.empty() || !operations.pending.back().batch) {
      operations.pending.push_back(Operation{nullptr, std::make_shared<EventBatch>()});
    }
    return *operations.pending.back().batch;
  }
  if (!operations.openBatch) {
    operations.openBatch = std::make_shared<EventBatch>();
    queues.serialQueue->async(guarded(handOffBlock(operations.openBatch)));
  }
  return *operations.openBatch;
}

// Appends one encoded event (operation-queue lock taken here): to the events of the operation
// running on this thread, if any, else to the open batch. False when refused.
bool appendEvent(QueueState& queues, const std::string& encoded, double timestamp,
                 const APMSharedScreenParameters& screen) {
  if (queues.exiting.load(std::memory_order_relaxed)) return false;
  if (APMAnalyticsEventBuffer* logged = tOperationEvents) {
    logged->append(encoded, timestamp, screen);
    return true;
  }
  std::lock_guard<std::mutex> lock(queues.operations.mutex);
  if (queues.exiting.load(std::memory_order_relaxed)) return false;
  EventBatch& batch = openBatchLocked(queues);
  batch.events.append(encoded, timestamp, screen);
  ++batch.appended;
  return true;
}

// Operation-queue lock held: parks the block while the queue is suspended, else hands it on at
// once, so operations reach the serial queue in the order they were queued; later events start a
// new batch behind it. Whether it was handed on.
bool queueBlockLocked(QueueState& queues, APMAnalyticsOperationQueue::Block block) {
  if (queues.exiting.load(std::memory_order_relaxed)) return false;
  if (queues.operations.suspended) {
    queues.operations.pending.push_back(Operation{std::move(block), nullptr});
    return false;
  }
  queues.operations.openBatch = nullptr;
  queues.serialQueue->async(guarded(std::move(block)));
  return true;
}

// Room reserved for an encoded event (which may wait), then its time taken (now, in the timestamp
// queue, when none is given) and the event appended.
void queueEncoded(std::string& encoded, std::optional<double> timestamp, const APMSharedScreenParameters& screen) {
  auto& queues = queueState();
  const size_t bytes = APMAnalyticsEventBuffer::heldSize(encoded, screen);
  if (auto generation = reserveRoom(queues, bytes)) {
    bool queued = false;
    if (timestamp) {
      queued = appendEvent(queues, encoded, *timestamp, screen);
    } else if (tOperationEvents) {
      // Logged by an operation running among the events (a screen view's engagement event): it
      // joins that operation's own events, in its place, which no other thread appends to, so
      // there is no order of threads to keep and no other queue to wait for.
      queued = appendEvent(queues, encoded, platform::now(), screen);
    } else {
      // Time and queueing in one step of the timestamp queue: operations enter the queue in time order.
      // One pointer captured, so the block fits in the function object without an allocation.
      struct Step {
        QueueState& queues;
        const std::string& encoded;
        const APMSharedScreenParameters& screen;
        bool queued = false;
      } step{queues, encoded, screen};
      queues.timestampQueue->sync(
          [&step] { step.queued = appendEvent(step.queues, step.encoded, platform::now(), step.screen); });
      queued = step.queued;
    }
    if (!queued) releaseRoom(queues, bytes, *generation);
  }
  if (encoded.capacity() > APMAnalyticsEventBuffer::kChunkBytes) std::string().swap(encoded);  // not a huge event's
}

}  // namespace

// Queues one event: encoded on the caller's thread, then queued as it is.
void APMAnalyticsOperationQueue::queueEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                                            const platform::Dictionary& parameters, std::optional<double> timestamp,
                                            const APMSharedScreenParameters& screen) {
  thread_local std::string encoded;
  APMAnalyticsEventBuffer::encode(encoded, origin, isPublicEvent, name, parameters);
  queueEncoded(encoded, timestamp, screen);
}

void APMAnalyticsOperationQueue::queueEncodedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                                                   std::string_view compactParameters, std::optional<double> timestamp,
                                                   const APMSharedScreenParameters& screen) {
  thread_local std::string encoded;
  APMAnalyticsEventBuffer::encode(encoded, origin, isPublicEvent, name, compactParameters);
  queueEncoded(encoded, timestamp, screen);
}

void APMAnalyticsOperationQueue::queueOperationWithBlock(Block block) {
  if (!block) return;
  auto& queues = queueState();
  std::lock_guard<std::mutex> lock(queues.operations.mutex);
  queueBlockLocked(queues, std::move(block));
}

void APMAnalyticsOperationQueue::queueOperationWithBlockThenWait(Block block) {
  if (!block) return;
  auto& queues = queueState();
  std::lock_guard<std::mutex> lock(queues.operations.mutex);
  // Every earlier operation has already been handed to the serial queue (an operation's only work),
  // so there is nothing to wait for: holding the queue is all that is left to do, and no caller
  // (the worker queue included) ever blocks here.
  if (!queueBlockLocked(queues, std::move(block))) return;
  queues.operations.suspended = true;
  uint64_t generation = queues.operations.generation;
  queues.serialQueue->after(kResumeDelayAfterWait, [generation] {
    auto& current = queueState();
    {
      std::lock_guard<std::mutex> relock(current.operations.mutex);
      if (current.operations.generation != generation) return;
    }
    unsuspendOperationQueue();
  });
}

void APMAnalyticsOperationQueue::waitForEventRoom(size_t bytes) { reserveRoom(queueState(), bytes, RoomUse::kWait); }

void APMAnalyticsOperationQueue::queueOperationAmongEvents(Block block, size_t bytes) {
  if (!block) return;
  auto& queues = queueState();
  auto generation = reserveRoom(queues, bytes, RoomUse::kTake);
  if (!generation) return;
  {
    std::lock_guard<std::mutex> lock(queues.operations.mutex);
    if (!queues.exiting.load(std::memory_order_relaxed)) {
      EventBatch& batch = openBatchLocked(queues);
      batch.operations.push_back(QueuedOperation{batch.appended, std::move(block), bytes});
      return;
    }
  }
  releaseRoom(queues, bytes, *generation);
}

void APMAnalyticsOperationQueue::queueEngineOperationAmongEvents(EngineBlock block, size_t bytes) {
  if (!block) return;
  queueOperationAmongEvents([block = std::move(block)] { block(APMAnalyticsStartUp::startedEngineContext()); }, bytes);
}

void APMAnalyticsOperationQueue::unsuspendOperationQueue() {
  auto& queues = queueState();
  std::lock_guard<std::mutex> lock(queues.operations.mutex);
  while (!queues.operations.pending.empty()) {
    Operation& operation = queues.operations.pending.front();
    queues.serialQueue->async(guarded(operation.batch ? handOffBlock(std::move(operation.batch))
                                                     : std::move(operation.block)));
    queues.operations.pending.pop_front();
  }
  queues.operations.openBatch = nullptr;
  queues.operations.suspended = false;
}

bool APMAnalyticsOperationQueue::isOperationQueueSuspended() {
  auto& queues = queueState();
  std::lock_guard<std::mutex> lock(queues.operations.mutex);
  return queues.operations.suspended;
}

// MARK: - Exit

namespace {

// Whether what the API accepted so far has reached the engine and been stored, within the time.
bool handedOnAndStored(QueueState& queues, double seconds) {
  auto stored = std::make_shared<platform::Semaphore>();
  queues.serialQueue->async([stored] {
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
  auto& queues = queueState();
  bool operating = false;
  {
    std::lock_guard<std::mutex> lock(queues.operations.mutex);
    queues.exiting = true;
    operating = !queues.operations.suspended;  // before the start, nothing was handed on
  }
  {
    std::lock_guard<std::mutex> lock(queues.room.mutex);  // a caller about to wait for room sees the flag
  }
  queues.room.freed.notify_all();
  if (operating && !handedOnAndStored(queues, queues.exitFlushTimeLimit.load())) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kNotEveryEventStoredBeforeProcess,
           "Not every event was stored before the process ended. Events dropped");
    auto window = queues.handOffWindow;
    {
      std::lock_guard<std::mutex> lock(window->mutex);  // a hand-off about to wait sees the flag
      queues.abandonHandOff = true;
    }
    window->changed.notify_all();
  }
  for (const auto& queue : {queues.serialQueue, queues.timestampQueue, queues.callbackQueue}) {
    queue->stop(APMAnalyticsOperationQueue::kExitStopWait);
  }
  if (APMEngineRegistry::hasSharedInstance()) {
    if (auto measurement = engine()) measurement->shutDownForExit(APMAnalyticsOperationQueue::kExitStopWait);
  }
  APMEngineRegistry::monitor()->flush();
  DULLoggerFlush();
  platform::DispatchQueue::stopAll(APMAnalyticsOperationQueue::kExitStopWait);
  platform::HttpClient::shared().shutdown();
  platform::UserDefaultsRegistry::synchronizeAll();
}

}  // namespace

// What the handler uses is created first: objects register their own clean-up when created, and
// clean-ups registered earlier run later.
void APMAnalyticsOperationQueue::registerExitHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    queueState();
    platform::HttpClient::shared();
    platform::UserDefaultsRegistry::standard();
    // On a thread of its own: the exiting thread's thread-local objects are gone by now.
    std::atexit([] { std::thread(flushAndStopAtExit).join(); });
  });
}

void APMAnalyticsOperationQueue::setExitFlushTimeLimitForTesting(double seconds) {
  queueState().exitFlushTimeLimit = seconds;
}

void APMAnalyticsOperationQueue::setEventRoadOptions(const APMEventRoadOptions& options) {
  auto& room = queueState().room;
  {
    std::lock_guard<std::mutex> lock(room.mutex);
    room.maxBytes = options.maxWaitingEventBytes;
  }
  room.freed.notify_all();  // a larger cap may make room at once
}

APMEventRoadOptions APMAnalyticsOperationQueue::eventRoadOptions() {
  auto& room = queueState().room;
  std::lock_guard<std::mutex> lock(room.mutex);
  APMEventRoadOptions options;
  options.maxWaitingEventBytes = room.maxBytes;
  return options;
}

APMEventRoadStatistics APMAnalyticsOperationQueue::eventRoadStatistics() {
  auto& room = queueState().room;
  std::lock_guard<std::mutex> lock(room.mutex);
  return room.statistics;
}

void APMAnalyticsOperationQueue::flushSerialQueueForTesting() {
  auto& queues = queueState();
  if (queues.serialQueue->isCurrent()) return;
  queues.serialQueue->sync([] {});
}

const std::shared_ptr<platform::DispatchQueue>& APMAnalyticsOperationQueue::callbackQueue() {
  return queueState().callbackQueue;
}

void APMAnalyticsOperationQueue::resetForTesting() {
  auto& queues = queueState();
  flushSerialQueueForTesting();
  queues.callbackQueue->sync([] {});
  {
    std::lock_guard<std::mutex> lock(queues.operations.mutex);
    queues.operations.pending.clear();
    queues.operations.openBatch = nullptr;
    queues.operations.suspended = true;
    ++queues.operations.generation;
  }
  queues.serialQueue->sync([] {
    auto& current = queueState();
    current.handedSinceMarker = 0;
    current.bytesHandedSinceMarker = 0;
    current.handOffWindow = std::make_shared<HandOffWindow>();
  });
  {
    std::lock_guard<std::mutex> lock(queues.room.mutex);
    queues.room.maxBytes = APMEventRoadOptions{}.maxWaitingEventBytes;
    queues.room.statistics = {};
    queues.room.lastWaitEnd.reset();
    ++queues.room.generation;
  }
  queues.room.freed.notify_all();
}
