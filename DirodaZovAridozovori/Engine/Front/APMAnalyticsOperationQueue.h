#pragma once
// The front's queues: the serial queue that hands work and events on to the engine, the operation
// queue that holds them until start, and the bound on the events waiting between the caller and
// the stored row.
//
// Queues and ordering:
// - "APMAnalyticsQueue" (queue()) serialises the front's work and the hand-off to the engine.
// - The operation queue "APMAnalyticsOperationQueue" holds, until start, every operation queued
//   before the engine exists; its only work is to hand blocks to the serial queue, so it is kept
//   as a guarded list rather than a thread: while suspended, blocks are kept in call order; once
//   running, a block goes straight to the serial queue. Logged events travel the same queue in
//   batches kept in compact form (APMAnalyticsEventBuffer), in order with the blocks around them.
// - "APMAnalyticsTimestampQueue" is held while an event's time is taken and its operation queued,
//   so operations enter the queue in time order, whichever thread logs them.
// The caller's path validates, takes the time and queues; it never waits for the engine, only,
// past the cap of APMEventRoadOptions, for room among the events waiting to be stored.
//
// Shared state: the operation queue, the room and the hand-off window are each guarded by a mutex;
// the hand-off counters are touched on the serial queue only.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMEngineContext;

// The road of logged events from the caller to the stored row. Set before or after start.
struct APMEventRoadOptions {
  // The most bytes that events accepted but not yet stored may hold (in the compact form they wait
  // in). Past it a caller waits for room, so a burst costs this much memory however long it is;
  // nothing is dropped. One event larger than the whole cap still passes, alone. A caller on one of
  // the SDK's own queues never waits (the road may need that very queue to make room), nor does one
  // before start, when nothing makes room yet. Default 4 MiB: some 25,000 events of a handful of
  // parameters, several seconds of the slowest road.
  size_t maxWaitingEventBytes = 4 * 1024 * 1024;
};

// What the bound on waiting events has done so far (process-wide, kept until resetForTesting).
struct APMEventRoadStatistics {
  size_t waitingBytes = 0;      // accepted, not yet stored
  size_t peakWaitingBytes = 0;  // the most waitingBytes has been
  uint64_t waits = 0;           // calls that waited for room
  double waitSeconds = 0;       // their time spent waiting, summed
};

class APMAnalyticsOperationQueue {
 public:
  // Queue labels.
  static constexpr const char* kQueueLabel = "APMAnalyticsQueue";
  static constexpr const char* kTimestampQueueLabel = "APMAnalyticsTimestampQueue";
  static constexpr const char* kOperationQueueLabel = "APMAnalyticsOperationQueue";
  static constexpr const char* kCallbackQueueLabel = "APMAnalyticsCallbackQueue";

  // The operation queue stays held this long after a waiting hand-off.
  static constexpr double kResumeDelayAfterWait = 0.5;
  // Events reach the engine in steps of this many; the serial queue hands on the next step only
  // while at most kMaxHandOffStepsInEngine steps wait on the worker queue, so a burst waits here,
  // in compact form, rather than in the engine. A worker that does not answer within
  // kHandOffWaitLimit seconds is not waited for any longer.
  static constexpr size_t kHandOffStep = 1000;
  static constexpr uint64_t kMaxHandOffStepsInEngine = 4;
  static constexpr double kHandOffWaitLimit = 2.0;
  // Callers that wait for room (APMEventRoadOptions) within this many seconds of one another wait
  // in one burst, which is logged once.
  static constexpr double kWaitForRoomBurstGap = 1.0;
  // At a normal exit (main returning, or exit()) the events the API accepted are stored for up to
  // kExitFlushTimeLimit seconds; later calls are refused, and events not stored by then are
  // dropped. A block still running then has kExitStopWait more seconds to finish before every
  // thread of the SDK is stopped and the database closed.
  static constexpr double kExitFlushTimeLimit = 2.0;
  static constexpr double kExitStopWait = 1.0;

  using Block = std::function<void()>;

  static const std::shared_ptr<platform::DispatchQueue>& queue();
  static void dispatchAsyncOnSerialQueue(Block block);
  static bool isCurrentQueueSerialQueue();
  static void queueOperationWithBlock(Block block);
  // Queues block; once the operation queue runs, it is held for kResumeDelayAfterWait so the block
  // is handled before anything queued after it. Never waits on the serial or the worker queue.
  static void queueOperationWithBlockThenWait(Block block);
  // Queues block among the logged events, in the caller's place, without ending the batch of events
  // being queued: it runs on the serial queue after the events logged before the call and before
  // those logged after it, and the events it logs there through the front take its place (they are
  // handed on right after it). For work that must keep its place among events without costing
  // the batch (user properties, the screen-view reporter's work). bytes, about what the block holds
  // until it runs, counts with the events against the cap of APMEventRoadOptions; this never waits
  // for room, so a caller waits first (waitForEventRoom), before it takes any lock of its own.
  static void queueOperationAmongEvents(Block block, size_t bytes);
  // Waits, as logging an event of this many bytes would, until they fit under the cap; takes nothing.
  static void waitForEventRoom(size_t bytes);
  // As queueOperationAmongEvents, the block handed, as it runs, the started engine's context
  // (nullptr before the engine exists): a component's work that needs an answer of the engine.
  using EngineBlock = std::function<void(const std::shared_ptr<APMEngineContext>& engine)>;
  static void queueEngineOperationAmongEvents(EngineBlock block, size_t bytes);
  static void unsuspendOperationQueue();
  static bool isOperationQueueSuspended();
  // Queues one logged event: encoded on the caller's thread, then room reserved for it (which may
  // wait), then its time taken (now, when none is given) and appended in time order.
  // screen: the current screen's parameters the event carries (none when it carries its own).
  static void queueEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                         const platform::Dictionary& parameters, std::optional<double> timestamp,
                         const std::shared_ptr<const platform::Dictionary>& screen);
  // The same with the parameters already in the compact form (apm_compact: a count, then the
  // entries in name order; no bytes for no entries).
  static void queueEncodedEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                                std::string_view compactParameters, std::optional<double> timestamp,
                                const std::shared_ptr<const platform::Dictionary>& screen);
  static void setEventRoadOptions(const APMEventRoadOptions& options);
  static APMEventRoadOptions eventRoadOptions();
  static APMEventRoadStatistics eventRoadStatistics();
  // Where the front answers a host's callbacks.
  static const std::shared_ptr<platform::DispatchQueue>& callbackQueue();

  // At the first start: at a normal exit, what the API accepted is stored, then the SDK stops.
  static void registerExitHandlerOnce();
  // Waits for the front's queues, drops the queued operations, suspends the operation queue again
  // and forgets what the room counted.
  static void resetForTesting();
  // Waits until every block queued so far on the serial queue has run.
  static void flushSerialQueueForTesting();
  // Replaces kExitFlushTimeLimit for this process.
  static void setExitFlushTimeLimitForTesting(double seconds);

 private:
  APMAnalyticsOperationQueue() = delete;
};
