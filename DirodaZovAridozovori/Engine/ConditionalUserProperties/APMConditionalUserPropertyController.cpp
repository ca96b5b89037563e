#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"

#include <mutex>

#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMMeasurement.h"
#include "APMMonitor.h"
#include "APMNameTables.h"
#include "APMScheduler.h"
#include "DirodaZovAridozovori/Engine/ConditionalUserProperties/APMConditionalUserPropertyLog.h"
#include "platform/Clock.h"
#include "platform/Semaphore.h"

namespace {

using Properties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
using Events = std::vector<std::shared_ptr<APMEvent>>;

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
  if (!property) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMConditionalUserPropertyLogCode::kCannotSetNilConditionalUserProperty,
           "Cannot set nil conditional user property");
    return;
  }
  auto request = property->copy();
  request->name = name;
  if (!passesValidator(*request)) return;
  if (!isValidTimeInterval(request->triggerTimeout)) {
    APMLog(APMLogLevel::kErrorSampledOnly,
           APMConditionalUserPropertyLogCode::kInvalidConditionalUserPropertyTriggerTimeout,
           "Invalid conditional user property trigger timeout", request->triggerTimeout);
    return;
  }
  if (!isValidTimeInterval(request->timeToLive)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMConditionalUserPropertyLogCode::kInvalidConditionalUserPropertyTimeLive,
           "Invalid conditional user property time to live", request->timeToLive);
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
      APMLog(APMLogLevel::kWarning, APMConditionalUserPropertyLogCode::kCannotQueryConditionalUserProperties,
             "Cannot query for conditional user properties. Analytics is disabled");
    } else if (current && current->database()) {
      platform::Error error;
      result = current->database()->conditionalUserPropertiesWithPrefix(namePrefix, origin, &error);
      if (!result) {
        APMLog(APMLogLevel::kErrorSampledOnly,
               APMConditionalUserPropertyLogCode::kCannotQueryConditionalUserPropertiesNamePrefix,
               "Cannot query for conditional user properties. Name prefix, origin, error", namePrefix.value_or(""),
               origin.value_or(""), error);
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
  if (!measurement->isEnabled() || !measurement->database()) {
    APMLog(APMLogLevel::kWarning, APMConditionalUserPropertyLogCode::kCannotSetConditionalUserProperty,
           "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    APMLog(APMLogLevel::kErrorSampledOnly,
           APMConditionalUserPropertyLogCode::kCannotSetNilConditionalUserPropertyWorker,
           "Cannot set nil conditional user property on worker queue");
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
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotQueryConditionalUserProperty,
             "Cannot query conditional user property. Name, origin, error", record->name, record->origin, error);
      return false;
    }
    if (stored && stored->origin != record->origin) {
      APMLog(APMLogLevel::kWarningSampledOnly,
             APMConditionalUserPropertyLogCode::kUpdatingConditionalUserPropertyDifferentOrigin,
             "Updating a conditional user property with different origin. Name, origin, saved origin", record->name,
             record->origin, stored->origin);
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
        APMLog(APMLogLevel::kErrorSampled,
               APMConditionalUserPropertyLogCode::kCannotUpdateUserPropertyConditionalUserProperty,
               "Cannot update user property from conditional user property. Name, origin, error", record->name,
               record->origin, error);
        return false;
      }
      APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kUserPropertyUpdatedNameOrigin,
             "User property updated. Name, origin", record->name, record->origin);
    }
    if (!database.updateConditionalUserProperty(*record, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotInsertUserPropertyConditionalUser,
             "Cannot insert user property from conditional user property. Name, origin, error", record->name,
             record->origin, error);
      return false;
    }
    APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kConditionalUserPropertyAdded,
           "Conditional user property added. Name, origin", record->name, record->origin);
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
  if (!measurement->isEnabled() || !measurement->database()) {
    APMLog(APMLogLevel::kWarning,
           APMConditionalUserPropertyLogCode::kCannotRemoveConditionalUserPropertyAnalyticsDisabled,
           "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    APMLog(APMLogLevel::kError, APMConditionalUserPropertyLogCode::kCannotRemoveNilConditionalUserProperty,
           "Cannot remove nil conditional user property on worker queue");
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
        APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotQueryConditionalUserPropertyRemove,
               "Cannot query conditional user property to remove. Name, origin, error", property->name,
               property->origin, error);
        return false;
      }
      APMLog(APMLogLevel::kWarningSampled,
             APMConditionalUserPropertyLogCode::kCannotRemoveNonexistentConditionalUserProperty,
             "Cannot remove nonexistent conditional user property. Name, origin", property->name, property->origin);
      return true;
    }
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotDeleteConditionalUserProperty,
             "Cannot delete conditional user property. Name, origin, error", property->name, property->origin, error);
      return false;
    }
    if (stored->active && !database.deleteUserAttributeWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled,
             APMConditionalUserPropertyLogCode::kCannotRemoveConditionalUserPropertyFailedDelete,
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
  APMDatabase& database = *measurement->database();
  platform::Error error;
  auto timedOut = database.timedOutConditionalUserPropertiesWithError(&error);
  if (!timedOut) {
    APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotFetchTimedOutConditionalUser,
           "Cannot fetch timed out conditional user properties. Error", error);
    return false;
  }
  const double now = platform::now();
  for (const auto& property : *timedOut) {
    APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kConditionalUserPropertyTimedOut,
           "Conditional user property has timed out. Name", property->name);
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotDeleteTimedOutConditionUser,
             "Cannot delete timed out condition user property. Name, error", property->name, error);
      return false;
    }
    if (auto made = eventFromStoredEvent(property->timedOutEvent, property->origin, now)) events.push_back(made);
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(Events& events) {
  auto measurement = engine();
  if (!checkWorkerQueue(measurement, "removeExpiredCUPWithExpiredEvents:")) return false;
  APMDatabase& database = *measurement->database();
  platform::Error error;
  auto expired = database.expiredConditionalUserPropertiesWithError(&error);
  if (!expired) {
    APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotFetchExpiredConditionalUserProperties,
           "Cannot fetch expired conditional user properties. Error", error);
    return false;
  }
  const double now = platform::now();
  for (const auto& property : *expired) {
    APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kConditionalUserPropertyExpired,
           "Conditional user property has expired. Name, expired event", property->name,
           describe(property->expiredEvent));
    if (!database.deleteUserAttributeWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotRemoveConditionalUserProperty,
             "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
             property->name, property->origin, error);
      return false;
    }
    if (!database.deleteConditionalUserPropertyWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotDeleteExpiredConditionUserProperty,
             "Cannot delete expired condition user property. Name, error", property->name, error);
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
    APMLog(APMLogLevel::kErrorSampled,
           APMConditionalUserPropertyLogCode::kCannotFetchTriggeringConditionalUserProperties,
           "Cannot fetch triggering conditional user properties. Event name, error", eventName, error);
    return std::nullopt;
  }
  Events events;
  const double now = platform::now();
  for (const auto& property : *triggered) {
    // A record without a value (never stored so by a set) still runs its course, so it can expire.
    if (property->value) {
      APMUserAttribute attribute(property->origin, property->name, *property->value, now);
      if (!database.updateUserAttribute(attribute, &error)) {
        APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotUpdateUserPropertyConditionalUser,
               "Cannot update user property from conditional user property. Name, origin, error", property->name,
               property->origin, error);
        return std::nullopt;
      }
      APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kUserPropertyUpdated,
             "User property updated. Name, origin, value", property->name, property->origin,
             property->value->description());
    }
    if (auto made = eventFromStoredEvent(property->triggeredEvent, property->origin, now)) events.push_back(made);
    property->active = true;
    property->triggeredTimestamp = now;
    if (!database.updateConditionalUserProperty(*property, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotUpdateConditionalUserProperty,
             "Cannot update conditional user property. Name, origin, error", property->name, property->origin, error);
      return std::nullopt;
    }
  }
  return events;
}
