#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"

#include <mutex>

#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMMeasurement.h"
#include "APMMonitor.h"
#include "APMNameTables.h"
#include "APMScheduler.h"
#include "platform/Clock.h"
#include "platform/Semaphore.h"

namespace {

using Properties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
using Events = std::vector<std::shared_ptr<APMEvent>>;

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

bool isValidTimeInterval(double seconds) {
  // Written so that NaN fails as well.
  return seconds >= APMConditionalUserPropertyController::kMinTimeInterval &&
         seconds <= APMConditionalUserPropertyController::kMaxTimeInterval;
}

// The validator's rules for a request; its refusals are not logged here.
bool passesValidator(const APMConditionalUserProperty& property) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin, nullptr)) return false;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(property.name, nullptr)) return false;
  return !property.value || APMDataTypeValidator::isValidConditionalUserPropertyValue(*property.value, nullptr);
}

std::string describe(const std::shared_ptr<APMEvent>& event) { return event ? event->name() : std::string(); }

// What a query hands back from the worker queue. Shared with the block, so an answer that arrives
// after the caller stopped waiting lands here and not in the caller's freed frame.
struct QueryAnswer {
  platform::Semaphore done;
  std::mutex mutex;
  std::optional<Properties> properties;  // guarded by mutex
};

}  // namespace

APMConditionalUserPropertyController& APMConditionalUserPropertyController::sharedInstance() {
  static APMConditionalUserPropertyController* instance = new APMConditionalUserPropertyController();
  return *instance;
}

void APMConditionalUserPropertyController::install() {
  APMMeasurement::updateComponents([](APMMeasurementComponents& parts) {
    if (parts.processConditionalUserProperties) return;
    parts.processConditionalUserProperties = [](const APMEvent& event) {
      return sharedInstance().processEventOnWorkerQueue(event);
    };
  });
}

std::shared_ptr<APMMeasurement> APMConditionalUserPropertyController::engine() {
  return APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
}

bool APMConditionalUserPropertyController::checkWorkerQueue(const std::shared_ptr<APMMeasurement>& engine,
                                                            const char* methodName) {
  // Without an engine there is no worker queue to be on.
  return engine && engine->checkWorkerQueue(methodName);
}

std::shared_ptr<APMEvent> APMConditionalUserPropertyController::eventFromStoredEvent(
    const std::shared_ptr<APMEvent>& stored, const std::string& origin, double timestamp) {
  if (!stored) return nullptr;
  return APMEvent::create(origin, false, stored->name(), timestamp, 0, stored->parameters());
}

// MARK: - Requests (any thread)

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const std::shared_ptr<APMConditionalUserProperty>& property, const std::string& name) {
  auto monitor = log();
  if (!property) {
    monitor->logWithLevel(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  auto request = property->copy();
  request->name = name;
  if (!passesValidator(*request)) return;
  if (!isValidTimeInterval(request->triggerTimeout)) {
    monitor->logWithLevel(2, 11000, "Invalid conditional user property trigger timeout", request->triggerTimeout);
    return;
  }
  if (!isValidTimeInterval(request->timeToLive)) {
    monitor->logWithLevel(2, 11001, "Invalid conditional user property time to live", request->timeToLive);
    return;
  }
  request->creationTimestamp = platform::now();
  auto measurement = engine();
  if (!measurement) return;
  measurement->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:88", [request] {
    if (request->value) {
      sharedInstance().setConditionalUserPropertyOnWorkerQueue(request);
    } else {
      sharedInstance().removeConditionalUserPropertyOnWorkerQueue(request);
    }
  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::shared_ptr<APMEvent>& clearEvent, const std::string& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(name, nullptr)) return;
  auto request = std::make_shared<APMConditionalUserProperty>();
  request->name = name;
  request->expiredEvent = clearEvent ? clearEvent->copy() : nullptr;
  auto measurement = engine();
  if (!measurement) return;
  measurement->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:113", [request] {
    sharedInstance().removeConditionalUserPropertyOnWorkerQueue(request);
  });
}

std::optional<Properties> APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin) {
  auto measurement = engine();
  // On the worker queue the block could only run after the wait gave up.
  if (!measurement || measurement->isOnWorkerQueue()) return std::nullopt;
  auto answer = std::make_shared<QueryAnswer>();
  std::weak_ptr<APMMeasurement> weakEngine = measurement;
  measurement->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:161", [answer, weakEngine, namePrefix,
                                                                                          origin] {
    std::optional<Properties> result;
    auto current = weakEngine.lock();
    if (current && !current->isEnabled()) {
      log()->logWithLevel(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
    } else if (current && current->database()) {
      platform::Error error;
      result = current->database()->conditionalUserPropertiesWithPrefix(namePrefix, origin, &error);
      if (!result) {
        log()->logWithLevel(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
                            namePrefix.value_or(""), origin.value_or(""), error);
      }
    }
    {
      std::lock_guard<std::mutex> lock(answer->mutex);
      answer->properties = std::move(result);
    }
    answer->done.signal();
  });
  if (!answer->done.wait(kQueryTimeout)) return std::nullopt;
  std::lock_guard<std::mutex> lock(answer->mutex);
  return answer->properties;
}

// MARK: - Set and remove (worker queue)

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<APMConditionalUserProperty>& property) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "setConditionalUserPropertyOnWorkerQueue:")) return;
  auto monitor = log();
  if (!measurement->isEnabled() || !measurement->database()) {
    monitor->logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor->logWithLevel(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  APMDatabase& database = *measurement->database();
  auto record = property->copy();
  std::shared_ptr<APMEvent> triggeredEvent;
  const bool committed = database.performTransaction([&] {
    triggeredEvent = nullptr;
    platform::Error error;
    auto stored = database.conditionalUserPropertyWithName(record->name, &error);
    if (!stored && !error.empty()) {
      monitor->logWithLevel(1, 11009, "Cannot query conditional user property. Name, origin, error", record->name,
                            record->origin, error);
      return false;
    }
    if (stored && stored->origin != record->origin) {
      monitor->logWithLevel(5, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
                            record->name, record->origin, stored->origin);
    }
    double userPropertyTimestamp = record->creationTimestamp;
    if (stored && stored->active) {
      // A new value for a property in force: it keeps its trigger, its clock and its activation.
      record->origin = stored->origin;
      record->creationTimestamp = stored->creationTimestamp;
      record->triggerEventName = stored->triggerEventName;
      record->triggeredEvent = stored->triggeredEvent;
      record->triggerTimeout = stored->triggerTimeout;
      record->active = true;
      record->triggeredTimestamp = stored->triggeredTimestamp;
    } else if (record->triggerEventName.empty()) {
      record->active = true;
      record->triggeredTimestamp = record->creationTimestamp;
      userPropertyTimestamp = record->triggeredTimestamp;
      triggeredEvent = eventFromStoredEvent(record->triggeredEvent, record->origin, record->triggeredTimestamp);
    } else {
      record->active = false;
      record->triggeredTimestamp = 0;
    }
    if (record->active) {
      APMUserAttribute attribute(record->origin, record->name, *record->value, userPropertyTimestamp);
      if (!database.updateUserAttribute(attribute, &error)) {
        monitor->logWithLevel(1, 11011, "Cannot update user property from conditional user property. Name, origin, error",
                              record->name, record->origin, error);
        return false;
      }
      monitor->logWithLevel(7, 11012, "User property updated. Name, origin", record->name, record->origin);
    }
    if (!database.updateConditionalUserProperty(*record, &error)) {
      monitor->logWithLevel(1, 11014, "Cannot insert user property from conditional user property. Name, origin, error",
                            record->name, record->origin, error);
      return false;
    }
    monitor->logWithLevel(7, 11013, "Conditional user property added. Name, origin", record->name, record->origin);
    return true;
  });
  if (!committed || !triggeredEvent) return;
  measurement->writeEventOnWorkerQueue(triggeredEvent);
  measurement->updateSchedule();
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<APMConditionalUserProperty>& property) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "removeConditionalUserPropertyOnWorkerQueue:")) return;
  auto monitor = log();
  if (!measurement->isEnabled() || !measurement->database()) {
    monitor->logWithLevel(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor->logWithLevel(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  APMDatabase& database = *measurement->database();
  std::shared_ptr<APMEvent> expiredEvent;
  const bool committed = database.performTransaction([&] {
    expiredEvent = nullptr;
    platform::Error error;
    auto stored = database.conditionalUserPropertyWithName(property->name, &error);
    if (!stored) {
      if (!error.empty()) {
        monitor->logWithLevel(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
                              property->name, property->origin, error);
        return false;
      }
      monitor->logWithLevel(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin",
                            property->name, property->origin);
      return true;
    }
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      monitor->logWithLevel(1, 11019, "Cannot delete conditional user property. Name, origin, error", property->name,
                            property->origin, error);
      return false;
    }
    if (stored->active && !database.deleteUserAttributeWithName(property->name, &error)) {
      monitor->logWithLevel(1, 11020,
                            "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
                            property->name, property->origin, error);
      return false;
    }
    expiredEvent = eventFromStoredEvent(property->expiredEvent, stored->origin, platform::now());
    return true;
  });
  if (!committed || !expiredEvent) return;
  measurement->writeEventOnWorkerQueue(expiredEvent);
  measurement->updateSchedule();
}

// MARK: - Event processing (worker queue)

std::optional<Events> APMConditionalUserPropertyController::processEventOnWorkerQueue(const APMEvent& event) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "processEventOnWorkerQueue:") || !measurement->database()) return std::nullopt;
  Events endedEvents;
  std::optional<Events> triggeredEvents;
  const bool committed = measurement->database()->performTransaction([&] {
    endedEvents.clear();
    if (!removeTimedOutCUPWithTimedOutEvents(endedEvents)) return false;
    if (!removeExpiredCUPWithExpiredEvents(endedEvents)) return false;
    triggeredEvents = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event.name());
    return triggeredEvents.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& ended : endedEvents) measurement->writeFilteredEventOnWorkerQueue(ended);
  return triggeredEvents;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(Events& events) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "removeTimedOutCUPWithTimedOutEvents:")) return false;
  auto monitor = log();
  APMDatabase& database = *measurement->database();
  platform::Error error;
  auto timedOut = database.timedOutConditionalUserPropertiesWithError(&error);
  if (!timedOut) {
    monitor->logWithLevel(1, 10001, "Cannot fetch timed out conditional user properties. Error", error);
    return false;
  }
  const double now = platform::now();
  for (const auto& property : *timedOut) {
    monitor->logWithLevel(7, 10002, "Conditional user property has timed out. Name", property->name);
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      monitor->logWithLevel(1, 10003, "Cannot delete timed out condition user property. Name, error", property->name,
                            error);
      return false;
    }
    if (auto made = eventFromStoredEvent(property->timedOutEvent, property->origin, now)) events.push_back(made);
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(Events& events) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "removeExpiredCUPWithExpiredEvents:")) return false;
  auto monitor = log();
  APMDatabase& database = *measurement->database();
  platform::Error error;
  auto expired = database.expiredConditionalUserPropertiesWithError(&error);
  if (!expired) {
    monitor->logWithLevel(1, 10004, "Cannot fetch expired conditional user properties. Error", error);
    return false;
  }
  const double now = platform::now();
  for (const auto& property : *expired) {
    monitor->logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event", property->name,
                          describe(property->expiredEvent));
    if (!database.deleteUserAttributeWithName(property->name, &error)) {
      monitor->logWithLevel(1, 10006,
                            "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
                            property->name, property->origin, error);
      return false;
    }
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      monitor->logWithLevel(1, 10007, "Cannot delete expired condition user property. Name, error", property->name,
                            error);
      return false;
    }
    if (auto made = eventFromStoredEvent(property->expiredEvent, property->origin, now)) events.push_back(made);
  }
  return true;
}

std::optional<Events> APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "updateConditionalUserPropertiesWithEventNameOnWorkerQueue:")) return std::nullopt;
  auto monitor = log();
  APMDatabase& database = *measurement->database();
  platform::Error error;
  auto triggered = database.triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (triggered && triggered->empty()) {
    const auto& reserved = APMReservedEventNamesAllowedForPublicLogging();
    if (auto internal = reserved.find(eventName); internal != reserved.end()) {
      triggered = database.triggeredConditionalUserPropertiesWithEventName(internal->second, &error);
    }
  }
  if (!triggered) {
    monitor->logWithLevel(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error", eventName,
                          error);
    return std::nullopt;
  }
  Events events;
  const double now = platform::now();
  for (const auto& property : *triggered) {
    // A record without a value (never stored so by a set) still runs its course, so it can expire.
    if (property->value) {
      APMUserAttribute attribute(property->origin, property->name, *property->value, now);
      if (!database.updateUserAttribute(attribute, &error)) {
        monitor->logWithLevel(1, 10009, "Cannot update user property from conditional user property. Name, origin, error",
                              property->name, property->origin, error);
        return std::nullopt;
      }
      monitor->logWithLevel(7, 10010, "User property updated. Name, origin, value", property->name, property->origin,
                            property->value->description());
    }
    if (auto made = eventFromStoredEvent(property->triggeredEvent, property->origin, now)) events.push_back(made);
    property->active = true;
    property->triggeredTimestamp = now;
    if (!database.updateConditionalUserProperty(*property, &error)) {
      monitor->logWithLevel(1, 10011, "Cannot update conditional user property. Name, origin, error", property->name,
                            property->origin, error);
      return std::nullopt;
    }
  }
  return events;
}
