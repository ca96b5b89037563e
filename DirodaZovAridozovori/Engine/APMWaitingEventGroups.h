#pragma once
// The road's entry: events and user-property changes handed in from any thread wait in the open
// group, and the first of them queues the group's drain on the worker queue. The drain writes the
// group's events together through the writer (a transaction at a time, bounded by
// kMaxEventsPerTransaction and kMaxTransactionSeconds), each down the worker's road. A block
// submitted through here closes the open group first, so later events do not overtake it and
// worker-side work keeps the order of submission.
//
// Part of the engine's event road, which owns it beside the worker's road and the writer.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "APMCompactParameters.h"
#include "APMEvent.h"
#include "APMLogEventOptions.h"
#include "APMUserAttribute.h"
#include "platform/Object.h"

class APMEventWriter;
class APMEventWriterHost;
class APMMeasurement;
class APMWorkerEventRoad;

class APMWaitingEventGroups final {
 public:
  using Interceptor = APMEventInterceptor;
  // A drain's transaction commits once it holds kMaxEventsPerTransaction events or has been open
  // kMaxTransactionSeconds, whichever comes first; the rest of the group follows in further
  // transactions. While the drain of a later group is already queued, the transaction stays open
  // for it (up to the same bounds), so a burst's groups share commits; a failed commit then loses
  // the events of every group in it, at most kMaxEventsPerTransaction. Each purchase dirties a page of the metadata table and one of its index, so the
  // more events share a commit, the more share a page: a burst's whole group (the front hands the
  // worker about five steps of 1000 at a time) fits one transaction, yet no written event waits
  // longer than a quarter of a second for its commit.
  static constexpr size_t kMaxEventsPerTransaction = 5000;
  static constexpr double kMaxTransactionSeconds = 0.25;
  // How long no group may open after a drain before the road counts as quiet and the WAL is
  // checkpointed: a caller waiting for room, or the front waiting for the worker, leaves the road
  // empty for a moment in the middle of a burst.
  static constexpr double kQuietSeconds = 0.02;
  // The most written events left for the front to free: the memory they hold after a burst stays
  // small beside the bound on events waiting to be written.
  static constexpr size_t kMaxHandedBackEvents = 4000;

  APMWaitingEventGroups(APMMeasurement& engine, APMEventWriterHost& host, APMEventWriter& writer,
                        APMWorkerEventRoad& worker);
  ~APMWaitingEventGroups();
  APMWaitingEventGroups(const APMWaitingEventGroups&) = delete;
  APMWaitingEventGroups& operator=(const APMWaitingEventGroups&) = delete;

  // ---- Any thread.
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::Dictionary& parameters, double timestamp, const APMLogEventOptions& options,
                          Interceptor interceptor, const platform::Dictionary& addedScreenParameters);
  // The same for parameters in the compact form they wait in, read straight into the event, and
  // the current screen's parameters as the front shares them among the events logged on it.
  void logCompactEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 APMCompactParameters parameters, double timestamp, const APMLogEventOptions& options,
                                 Interceptor interceptor,
                                 std::shared_ptr<const platform::Dictionary> addedScreenParameters);
  void logEvent(const std::shared_ptr<APMEvent>& event);
  void queueUserAttributeChange(const APMUserAttribute& attribute, bool remove);
  void submit(const char* blockID, std::function<void()> block);
  void closeOpenGroup();
  // Groups stop at their next transaction; what is written commits.
  void stopForExit() { shuttingDown_ = true; }

 private:
  struct PendingEvent;
  class PendingEvents;
  struct EventGroup;

  // Adds to the open event group, opening one (and queueing its drain) when none is open. With
  // handedBack, also takes the written events the worker left (see handedBack_), for the caller
  // to free.
  void joinOpenGroup(PendingEvent&& pending, std::shared_ptr<EventGroup>* handedBack = nullptr);
  // Makes the event ahead, on the caller's thread, and joins it to the open group.
  void joinPreparedEvent(PendingEvent&& pending, std::shared_ptr<EventGroup>* handedBack);
  // Worker queue: leaves the written events for the front to free, beside those it has not taken
  // yet, unless that would hold more than kMaxHandedBackEvents (then the worker frees these itself).
  void handBackWrittenEvents(PendingEvents&& events);
  void drainEventGroupOnWorkerQueue(const std::shared_ptr<EventGroup>& group);
  // Worker queue: checkpoints once kQuietSeconds have passed with no group opened after the
  // opened-th.
  void checkpointWhenQuietAfter(uint64_t opened);
  // Whether the drain of a later group waits on the worker queue.
  bool anotherGroupQueued();

  APMMeasurement& engine_;
  APMEventWriterHost& host_;
  APMEventWriter& writer_;
  APMWorkerEventRoad& worker_;
  std::atomic<bool> shuttingDown_{false};
  // Guards openGroup_, groupsOpened_ and handedBack_: entry points on any thread add to the one, the worker takes
  // it; the worker leaves the other, the front takes it.
  std::mutex groupMutex_;
  std::shared_ptr<EventGroup> openGroup_;
  uint64_t groupsOpened_ = 0;
  // Drains queued on the worker queue and not yet begun.
  size_t queuedDrains_ = 0;
  // Worker queue only: the events in the transaction being written and when it began, which a
  // transaction kept open for the next group carries on.
  size_t transactionEvents_ = 0;
  double transactionBegan_ = 0;
  // Events the worker has written, freed by the front's next compact event on its own queue: the
  // thread that made them frees them for a fraction of what it costs the worker (the road's
  // slowest thread) to free memory of another thread's arena. handedBackEvents_ counts them.
  std::shared_ptr<EventGroup> handedBack_;
  size_t handedBackEvents_ = 0;
};
