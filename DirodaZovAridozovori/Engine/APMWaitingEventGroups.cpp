// The road's entry: events handed in from any thread wait in the open group until the worker takes
// the group and writes its events together.
#include "APMWaitingEventGroups.h"

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

#include "APMDatabase.h"
#include "APMEventParameters.h"
#include "APMEventWriter.h"
#include "APMMeasurement.h"
#include "APMWorkerEventRoad.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "platform/Clock.h"

namespace {

// Reading the parameter limits costs more than cleaning a small event. An event prepared under
// limits that have changed since is made again by the worker, so one reading serves a run of events.
constexpr unsigned kPreparingEventsPerLimitsReading = 256;

const APMEventParameterLimits& limitsForPreparing() {
  thread_local APMEventParameterLimits limits;
  thread_local unsigned uses = 0;
  if (uses++ % kPreparingEventsPerLimitsReading == 0) limits = APMCurrentEventParameterLimits();
  return limits;
}

using SharedScreen = std::shared_ptr<const platform::Dictionary>;

// The screen an event carries changes only with a screen view, and the front shares one snapshot
// among the events logged on it: its parameters are converted once per snapshot (per thread)
// instead of once per event. None when they take the conversion that logs, which then runs for
// each event as it did. The snapshot is held, so a later one never shares its address.
const std::optional<APMParameters>& screenParametersFor(const SharedScreen& screen) {
  thread_local SharedScreen converting;
  thread_local std::optional<APMParameters> converted;
  if (converting != screen) {
    converted = APMEvent::screenParametersInPlace(*screen);
    converting = screen;
  }
  return converted;
}

void addScreenParameters(APMEvent& event, const SharedScreen& screen) {
  if (!screen || screen->empty()) return;
  if (const auto& converted = screenParametersFor(screen)) return event.addConvertedScreenParameters(*converted);
  event.addScreenParameters(*screen);
}

}  // namespace

struct APMWaitingEventGroups::PendingEvent {
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  // Kept compact: the worker reads them again only to make the event anew (below).
  APMCompactParameters parameters;
  double timestamp = 0;
  APMLogEventOptions options;
  Interceptor interceptor;
  SharedScreen addedScreenParameters;
  // The event as the worker makes it when no default parameters join it, made ahead on the
  // caller's thread under these limits, so the worker does not clean the parameters itself; it
  // makes the event again when defaults join it or the limits have changed.
  std::shared_ptr<APMEvent> prepared;
  APMEventParameterLimits preparedLimits;
  // Instead of an event (whose fields above are then unused): a user-property change, a removal
  // when removeAttribute. Held apart, so that an event does not carry its room.
  std::unique_ptr<const APMUserAttribute> attribute;
  bool removeAttribute = false;
};

// In blocks rather than one array: a group of thousands of events never holds a second copy of
// them while it grows. A block holds kEventsPerBlock of them, where a deque's holds one (its blocks
// are 512 bytes), so a group does not allocate once per event.
class APMWaitingEventGroups::PendingEvents {
 public:
  static constexpr size_t kEventsPerBlock = 64;
  // Emptied blocks a thread keeps for the groups it fills next (about 16 KiB each): a block is
  // larger than what the allocator keeps at hand, so taking a fresh one would first make it sort
  // every small piece the freed events left (the events of a group are freed together).
  static constexpr size_t kSpareBlocksPerThread = 8;

  PendingEvents() = default;
  PendingEvents(const PendingEvents&) = delete;
  PendingEvents& operator=(const PendingEvents&) = delete;
  ~PendingEvents() {
    auto& spare = spareBlocks();
    for (auto& block : blocks_) {
      block.clear();
      if (spare.size() < kSpareBlocksPerThread) spare.push_back(std::move(block));
    }
  }

  size_t size() const { return size_; }
  void push_back(PendingEvent&& event) {
    if (size_ % kEventsPerBlock == 0) {
      auto& spare = spareBlocks();
      if (spare.empty()) {
        blocks_.emplace_back().reserve(kEventsPerBlock);
      } else {
        blocks_.push_back(std::move(spare.back()));
        spare.pop_back();
      }
    }
    blocks_.back().push_back(std::move(event));
    ++size_;
  }
  const PendingEvent& operator[](size_t index) const {
    return blocks_[index / kEventsPerBlock][index % kEventsPerBlock];
  }
  void swap(PendingEvents& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(size_, other.size_);
  }

 private:
  static std::vector<std::vector<PendingEvent>>& spareBlocks() {
    thread_local std::vector<std::vector<PendingEvent>> spare;
    return spare;
  }

  std::vector<std::vector<PendingEvent>> blocks_;
  size_t size_ = 0;
};

struct APMWaitingEventGroups::EventGroup {
  PendingEvents events;
  // Written groups handed back after this one while the front had not yet taken it (a deque: a
  // group's events are never moved once written).
  std::deque<PendingEvents> alsoWritten;
};

APMWaitingEventGroups::APMWaitingEventGroups(APMMeasurement& engine, APMEventWriterHost& host, APMEventWriter& writer,
                                             APMWorkerEventRoad& worker)
    : engine_(engine), host_(host), writer_(writer), worker_(worker) {}

APMWaitingEventGroups::~APMWaitingEventGroups() = default;

// MARK: - Events

void APMWaitingEventGroups::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const platform::Dictionary& parameters, double timestamp,
                                        const APMLogEventOptions& options, Interceptor interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
  // Any thread calls this: it leaves the written events alone, since freeing a whole group could
  // hold up a caller that does not expect it.
  joinPreparedEvent({origin, isPublicEvent, name, APMCompactParameters(parameters), timestamp, options,
                     std::move(interceptor),
                     addedScreenParameters.empty() ? nullptr
                                                   : std::make_shared<const platform::Dictionary>(addedScreenParameters)},
                    nullptr);
}

void APMWaitingEventGroups::logCompactEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                               APMCompactParameters parameters, double timestamp,
                                               const APMLogEventOptions& options, Interceptor interceptor,
                                               SharedScreen addedScreenParameters) {
  std::shared_ptr<EventGroup> written;
  joinPreparedEvent({origin, isPublicEvent, name, std::move(parameters), timestamp, options, std::move(interceptor),
                     std::move(addedScreenParameters)},
                    &written);
  // The written events (if the worker left any) are freed here, outside the lock.
}

void APMWaitingEventGroups::joinPreparedEvent(PendingEvent&& pending, std::shared_ptr<EventGroup>* handedBack) {
  pending.preparedLimits = limitsForPreparing();
  pending.prepared =
      APMEvent::create(pending.origin, pending.isPublicEvent, pending.name, pending.timestamp, 0, pending.parameters,
                       pending.preparedLimits);
  if (pending.prepared) {
    addScreenParameters(*pending.prepared, pending.addedScreenParameters);
    pending.prepared->keepStoredBody();
  }
  joinOpenGroup(std::move(pending), handedBack);
}

void APMWaitingEventGroups::queueUserAttributeChange(const APMUserAttribute& attribute, bool remove) {
  PendingEvent pending;
  pending.attribute = std::make_unique<const APMUserAttribute>(attribute);
  pending.removeAttribute = remove;
  joinOpenGroup(std::move(pending));
}

void APMWaitingEventGroups::joinOpenGroup(PendingEvent&& pending, std::shared_ptr<EventGroup>* handedBack) {
  std::lock_guard<std::mutex> lock(groupMutex_);
  if (handedBack && handedBack_) {
    *handedBack = std::move(handedBack_);
    handedBackEvents_ = 0;
  }
  if (!openGroup_) {
    openGroup_ = std::make_shared<EventGroup>();
    ++groupsOpened_;
    ++queuedDrains_;
    // The engine owns the road: while it lives, so does this.
    std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
    std::shared_ptr<EventGroup> group = openGroup_;
    engine_.setup().scheduler->scheduleOnWorkerQueueBlockID("APMMeasurement:2476", [this, weakEngine, group] {
      if (auto engine = weakEngine.lock()) drainEventGroupOnWorkerQueue(group);
    });
  }
  openGroup_->events.push_back(std::move(pending));
}

void APMWaitingEventGroups::drainEventGroupOnWorkerQueue(const std::shared_ptr<EventGroup>& group) {
  PendingEvents events;
  {
    std::lock_guard<std::mutex> lock(groupMutex_);
    events.swap(group->events);
    if (openGroup_ == group) openGroup_ = nullptr;
    --queuedDrains_;
  }
  // The limits change only in a configuration update, a block of its own on this queue.
  const APMEventParameterLimits limits = APMCurrentEventParameterLimits();
  auto handle = [this, &limits](const PendingEvent& pending) {
    if (pending.attribute) {
      return worker_.changeUserAttributeInGroupOnWorkerQueue(*pending.attribute, pending.removeAttribute);
    }
    if (pending.prepared && !worker_.joinsDefaultEventParameters(pending.name, pending.options.ignoreInterceptor) &&
        pending.preparedLimits == limits &&
        engine_.checkWorkerQueue("logEventOnWorkerQueueWithOrigin:isPublicEvent:name:parameters:timestamp:enabled:"
                         "ignoreEnabled:ignoreInterceptor:interceptor:addedScreenParameters:")) {
      worker_.routeLoggedEventOnWorkerQueue(pending.prepared, pending.options, pending.interceptor);
      return;
    }
    worker_.logEventOnWorkerQueueWithOrigin(pending.origin, pending.isPublicEvent, pending.name,
                                            pending.parameters.dictionary(), pending.timestamp, pending.options,
                                            pending.interceptor,
                                            pending.addedScreenParameters ? *pending.addedScreenParameters
                                                                          : platform::Dictionary{});
  };
  if (!host_.database() || !engine_.collection().isEnabled()) {
    writer_.commitKeptOpenGroup();
    for (size_t index = 0; index < events.size(); ++index) handle(events[index]);
    return;
  }
  // Once the process is ending, what is written commits and the rest of the group is dropped.
  size_t handled = 0;
  bool keptOpen = false;
  while (handled < events.size() && !shuttingDown_) {
    // A transaction the previous group left open goes on here, with its count and age.
    if (!writer_.keepsGroupOpen()) {
      transactionEvents_ = 0;
      transactionBegan_ = platform::uptime();
    }
    const size_t start = handled;
    const size_t end = std::min(events.size(), start + (kMaxEventsPerTransaction - transactionEvents_));
    platform::Error error;
    const auto result = writer_.writeGroup(
        [&] {
          while (handled < end && !shuttingDown_) {
            handle(events[handled++]);
            if (platform::uptime() - transactionBegan_ >= kMaxTransactionSeconds) return;
          }
        },
        &error,
        [&] {
          return handled == events.size() && !shuttingDown_ &&
                 transactionEvents_ + (handled - start) < kMaxEventsPerTransaction &&
                 platform::uptime() - transactionBegan_ < kMaxTransactionSeconds && anotherGroupQueued();
        });
    transactionEvents_ += handled - start;
    keptOpen = result == APMEventWriter::GroupResult::KeptOpen;
    if (result == APMEventWriter::GroupResult::NotBegun) {
      // The group transaction could not even begin (the file is busy, say): nothing of these events
      // has happened yet, so each takes its own transaction instead of being lost together.
      for (size_t index = start; index < end; ++index) handle(events[index]);
      handled = end;
    } else if (result == APMEventWriter::GroupResult::Failed) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventNotRecorded,
             "Data loss. Cannot record raw event. Error", error);
    }
  }
  // The process ending stops a drain before it writes: what an earlier group left open commits.
  if (!keptOpen) writer_.commitKeptOpenGroup();
  if (handled < events.size()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventNotRecorded,
           "Data loss. Cannot record raw event. Error",
           std::to_string(events.size() - handled) + " events not stored before the process ended");
  }
  bool moreWaiting = false;
  uint64_t opened = 0;
  {
    std::lock_guard<std::mutex> lock(groupMutex_);
    moreWaiting = openGroup_ != nullptr;
    opened = groupsOpened_;
  }
  handBackWrittenEvents(std::move(events));
  // Checkpoints wait for the road to fall quiet, so a burst does not copy its pages back over and over.
  if (moreWaiting || shuttingDown_) return;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.setup().scheduler->workerQueue()->after(kQuietSeconds, [this, weakEngine, opened] {
    auto engine = weakEngine.lock();
    if (!engine) return;
    APMScheduler::runGuardedBlockID("APMMeasurement:4031", [&] { checkpointWhenQuietAfter(opened); });
  });
}

bool APMWaitingEventGroups::anotherGroupQueued() {
  std::lock_guard<std::mutex> lock(groupMutex_);
  return queuedDrains_ > 0;
}

void APMWaitingEventGroups::checkpointWhenQuietAfter(uint64_t opened) {
  {
    std::lock_guard<std::mutex> lock(groupMutex_);
    // A later group's drain asks again when it ends.
    if (groupsOpened_ != opened) return;
  }
  if (shuttingDown_ || !host_.database()) return;
  host_.database()->connection().checkpointWhenQuiet();
}

void APMWaitingEventGroups::handBackWrittenEvents(PendingEvents&& events) {
  const size_t count = events.size();
  auto written = std::make_shared<EventGroup>();
  std::lock_guard<std::mutex> lock(groupMutex_);
  if (!handedBack_) {
    written->events.swap(events);
    handedBack_ = std::move(written);
    handedBackEvents_ = count;
    return;
  }
  // A caller waiting for room logs nothing, so the front takes nothing while the worker drains
  // group after group: they join the one waiting, up to the bound.
  if (handedBackEvents_ + count <= kMaxHandedBackEvents) {
    handedBack_->alsoWritten.emplace_back().swap(events);
    handedBackEvents_ += count;
  }
  // Beyond it (or for a front that never takes any) the events are freed here, once the lock is
  // released.
}

void APMWaitingEventGroups::logEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event) {
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kAttemptedLogNilEvent, "Attempted to log nil event");
    return;
  }
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  auto copy = event->copy();
  submit("APMMeasurement:2582", [this, weakEngine, copy] {
    if (auto engine = weakEngine.lock()) worker_.handleEventOnWorkerQueue(copy);
  });
}

// MARK: - Order

void APMWaitingEventGroups::submit(const char* blockID, std::function<void()> block) {
  std::lock_guard<std::mutex> lock(groupMutex_);
  // Later events must not overtake this block: they start a new group.
  openGroup_ = nullptr;
  engine_.setup().scheduler->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

void APMWaitingEventGroups::closeOpenGroup() {
  std::lock_guard<std::mutex> lock(groupMutex_);
  openGroup_ = nullptr;
}
