// The road's entry: events handed in from any thread wait in the open group until the worker takes
// the group and writes its events together.
#include <algorithm>
#include <deque>

#include "APMCompactParameters.h"
#include "APMEngineEventRoad.h"
#include "APMEventParameters.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"

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

bool isAdExposureTraffic(const std::string& origin, const std::string& name) {
  return origin == "am" || name == "_xa" || name == "_xu";
}

}  // namespace

struct APMEngineEventRoad::PendingEvent {
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  // Kept compact: the worker reads them again only to make the event anew (below).
  APMCompactParameters parameters;
  double timestamp = 0;
  APMLogEventOptions options;
  Interceptor interceptor;
  APMCompactParameters addedScreenParameters;
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
// them while it grows.
struct APMEngineEventRoad::EventGroup {
  std::deque<PendingEvent> events;
};

// MARK: - Events

void APMEngineEventRoad::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const platform::Dictionary& parameters, double timestamp,
                                        const APMLogEventOptions& options, Interceptor interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
  logCompactEventWithOrigin(origin, isPublicEvent, name, APMCompactParameters(parameters), timestamp, options,
                            std::move(interceptor), APMCompactParameters(addedScreenParameters));
}

void APMEngineEventRoad::logCompactEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                               APMCompactParameters parameters, double timestamp,
                                               const APMLogEventOptions& options, Interceptor interceptor,
                                               APMCompactParameters addedScreenParameters) {
  PendingEvent pending{origin,  isPublicEvent,          name, std::move(parameters), timestamp,
                       options, std::move(interceptor), std::move(addedScreenParameters)};
  pending.preparedLimits = limitsForPreparing();
  pending.prepared =
      APMEvent::create(origin, isPublicEvent, name, timestamp, 0, pending.parameters, pending.preparedLimits);
  if (pending.prepared) pending.prepared->addScreenParameters(pending.addedScreenParameters);
  joinOpenGroup(std::move(pending));
}

void APMEngineEventRoad::queueUserAttributeChange(const APMUserAttribute& attribute, bool remove) {
  PendingEvent pending;
  pending.attribute = std::make_unique<const APMUserAttribute>(attribute);
  pending.removeAttribute = remove;
  joinOpenGroup(std::move(pending));
}

void APMEngineEventRoad::joinOpenGroup(PendingEvent&& pending) {
  std::lock_guard<std::mutex> lock(groupMutex_);
  if (!openGroup_) {
    openGroup_ = std::make_shared<EventGroup>();
    // The engine owns the road: while it lives, so does this.
    std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
    std::shared_ptr<EventGroup> group = openGroup_;
    engine_.scheduler()->scheduleOnWorkerQueueBlockID("APMMeasurement:2476", [this, weakEngine, group] {
      if (auto engine = weakEngine.lock()) drainEventGroupOnWorkerQueue(group);
    });
  }
  openGroup_->events.push_back(std::move(pending));
}

void APMEngineEventRoad::drainEventGroupOnWorkerQueue(const std::shared_ptr<EventGroup>& group) {
  std::deque<PendingEvent> events;
  {
    std::lock_guard<std::mutex> lock(groupMutex_);
    events.swap(group->events);
    if (openGroup_ == group) openGroup_ = nullptr;
  }
  // The limits change only in a configuration update, a block of its own on this queue.
  const APMEventParameterLimits limits = APMCurrentEventParameterLimits();
  auto handle = [this, &limits](const PendingEvent& pending) {
    if (pending.attribute) return changeUserAttributeInGroupOnWorkerQueue(*pending.attribute, pending.removeAttribute);
    if (pending.prepared && !joinsDefaultEventParameters(pending.name, pending.options.ignoreInterceptor) &&
        pending.preparedLimits == limits &&
        engine_.checkWorkerQueue("logEventOnWorkerQueueWithOrigin:isPublicEvent:name:parameters:timestamp:enabled:"
                         "ignoreEnabled:ignoreInterceptor:interceptor:addedScreenParameters:")) {
      routeLoggedEventOnWorkerQueue(pending.prepared, pending.options, pending.interceptor);
      return;
    }
    logEventOnWorkerQueueWithOrigin(pending.origin, pending.isPublicEvent, pending.name,
                                    pending.parameters.dictionary(), pending.timestamp, pending.options,
                                    pending.interceptor, pending.addedScreenParameters.dictionary());
  };
  if (!database() || !engine_.isEnabled()) {
    for (const auto& pending : events) handle(pending);
    return;
  }
  // Once the process is ending, what is written commits and the rest of the group is dropped.
  size_t handled = 0;
  for (size_t start = 0; start < events.size() && !shuttingDown_; start += kMaxEventsPerTransaction) {
    const size_t end = std::min(events.size(), start + kMaxEventsPerTransaction);
    platform::Error error;
    const auto result = writer_.writeGroup(
        [&] {
          for (size_t index = start; index < end && !shuttingDown_; ++index, ++handled) handle(events[index]);
        },
        &error);
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
  if (handled < events.size()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventNotRecorded,
           "Data loss. Cannot record raw event. Error",
           std::to_string(events.size() - handled) + " events not stored before the process ended");
  }
  bool moreWaiting = false;
  {
    std::lock_guard<std::mutex> lock(groupMutex_);
    moreWaiting = openGroup_ != nullptr;
  }
  // Checkpoints wait for the road to fall quiet, so a burst does not copy its pages back over and over.
  if (!moreWaiting && !shuttingDown_) database()->checkpointWhenQuiet();
}

void APMEngineEventRoad::logEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event) {
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kAttemptedLogNilEvent, "Attempted to log nil event");
    return;
  }
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  auto copy = event->copy();
  submit("APMMeasurement:2582", [this, weakEngine, copy] {
    if (auto engine = weakEngine.lock()) handleEventOnWorkerQueue(copy);
  });
}

void APMEngineEventRoad::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name, const platform::Dictionary& parameters,
                                                     double timestamp, const APMLogEventOptions& options,
                                                     const Interceptor& interceptor,
                                                     const platform::Dictionary& addedScreenParameters) {
  if (!engine_.checkWorkerQueue("logEventOnWorkerQueueWithOrigin:isPublicEvent:name:parameters:timestamp:enabled:"
                        "ignoreEnabled:ignoreInterceptor:interceptor:addedScreenParameters:")) {
    return;
  }
  const platform::Dictionary withDefaults =
      (options.ignoreInterceptor || name == "_err") ? parameters : parametersWithAddedDefaultEventParameters(parameters);
  auto event = APMEvent::create(origin, isPublicEvent, name, timestamp, 0, withDefaults);
  if (!event) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kNilEventWithOrigin,
           "Attempted to log nil event. Origin, name, parameters", origin, name, APMDescribeParameterNames(withDefaults));
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);
  routeLoggedEventOnWorkerQueue(event, options, interceptor);
}

void APMEngineEventRoad::routeLoggedEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event,
                                                   const APMLogEventOptions& options, const Interceptor& interceptor) {
  const bool notify =
      (options.enabled || options.ignoreEnabled) && !isAdExposureTraffic(event->origin(), event->name());
  if (notify && interceptor && event->isPublic() && !options.ignoreInterceptor) {
    platform::Dictionary merged = APMDictionaryFromParameters(event->parameters());
    interceptor(event->origin(), event->name(), merged, event->timestamp());
    return;
  }
  logEventOnWorkerQueue(event, notify);
}

void APMEngineEventRoad::logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners) {
  auto hooks = APMAnalyticsHooksSnapshot();
  if (!notifyEventListeners || !APMAnalyticsHooksHaveEventListeners(*hooks)) {
    handleEventOnWorkerQueue(event);
    return;
  }
  // Listeners see the event as it was logged, before the road marks it.
  auto copy = event->copy();
  handleEventOnWorkerQueue(event);
  afterCommit([notify = hooks->notifyEventListeners, copy] { notify(copy); });
}

void APMEngineEventRoad::changeUserAttributeInGroupOnWorkerQueue(const APMUserAttribute& attribute, bool remove) {
  // Outside a group (collection off, or a group that could not begin) it is written as it always was.
  if (!engine_.isEnabled() || !database() || !writer_.inGroup()) {
    return remove ? engine_.userProperties().removeUserAttributeOnWorkerQueue(attribute)
                  : engine_.userProperties().setUserAttributeOnWorkerQueue(attribute);
  }
  writer_.writeEvent([&] {
    return remove ? engine_.userProperties().removeUserPropertyFromDatabaseOnWorkerQueue(attribute)
                  : engine_.userProperties().setUserPropertyInDatabaseOnWorkerQueue(attribute);
  });
}

// MARK: - Default event parameters

bool APMEngineEventRoad::joinsDefaultEventParameters(const std::string& name, bool ignoreInterceptor) {
  if (ignoreInterceptor || name == "_err") return false;
  auto* group = writer_.group();
  if (group) return group->settings().defaultEventParameters && !group->settings().defaultEventParameters->empty();
  auto defaults = persistedConfig()->defaultEventParameters();
  return defaults && !defaults->empty();
}

platform::Dictionary APMEngineEventRoad::parametersWithAddedDefaultEventParameters(
    const platform::Dictionary& parameters) {
  auto* group = writer_.group();
  const std::optional<platform::Dictionary> defaults =
      group ? group->settings().defaultEventParameters : persistedConfig()->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  platform::Dictionary merged = *defaults;
  for (const auto& [key, value] : parameters) merged[key] = value;
  return merged;
}


// MARK: - Order

void APMEngineEventRoad::submit(const char* blockID, std::function<void()> block) {
  std::lock_guard<std::mutex> lock(groupMutex_);
  // Later events must not overtake this block: they start a new group.
  openGroup_ = nullptr;
  engine_.scheduler()->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
}

void APMEngineEventRoad::closeOpenGroup() {
  std::lock_guard<std::mutex> lock(groupMutex_);
  openGroup_ = nullptr;
}
