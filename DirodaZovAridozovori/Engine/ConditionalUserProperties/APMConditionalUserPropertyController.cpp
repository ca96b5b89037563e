#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"

#include <mutex>

#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMNameTables.h"
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

bool APMConditionalUserPropertyController::checkWorkerQueue(const char* methodName) const {
  // Without an engine there is no worker queue to be on.
  return engine_ && engine_->checkWorkerQueue(methodName);
}

bool APMConditionalUserPropertyController::mayHaveRecordsOnWorkerQueue() {
  if (mayHaveRecords_) return *mayHaveRecords_;
  auto database = engine_->database();
  if (!database) return true;  // the step reports the missing database
  auto stored =
      database->conditionalProperties().conditionalUserPropertiesWithPrefix(std::nullopt, std::nullopt, nullptr);
  // A failed read proves nothing: it is tried again with the next event.
  if (!stored) return true;
  mayHaveRecords_ = !stored->empty();
  return *mayHaveRecords_;
}

bool APMConditionalUserPropertyController::eventWillBeWritten(const APMEvent& event, APMEventCompanions& companions) {
  if (!checkWorkerQueue("eventWillBeWritten:")) return false;
  if (!mayHaveRecordsOnWorkerQueue()) return true;
  auto processed = processEventOnWorkerQueue(event);
  if (!processed) return false;
  companions.before.insert(companions.before.end(), processed->before.begin(), processed->before.end());
  companions.after.insert(companions.after.end(), processed->after.begin(), processed->after.end());
  return true;
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
  if (!engine_) return;
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  engine_->schedule("APMConditionalUserPropertyController:88", [weakSelf, request] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (request->value) {
      self->setConditionalUserPropertyOnWorkerQueue(request);
    } else {
      self->removeConditionalUserPropertyOnWorkerQueue(request);
    }
  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::shared_ptr<APMEvent>& clearEvent, const std::string& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(name, nullptr)) return;
  auto request = std::make_shared<APMConditionalUserProperty>();
  request->name = name;
  request->expiredEvent = clearEvent ? clearEvent->copy() : nullptr;
  if (!engine_) return;
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  engine_->schedule("APMConditionalUserPropertyController:113", [weakSelf, request] {
    if (auto self = weakSelf.lock()) self->removeConditionalUserPropertyOnWorkerQueue(request);
  });
}

std::optional<Properties> APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin) {
  // On the worker queue the block could only run after the wait gave up.
  if (!engine_ || engine_->workerQueue()->isCurrent()) return std::nullopt;
  auto answer = std::make_shared<QueryAnswer>();
  std::weak_ptr<APMEngineContext> weakEngine = engine_;
  engine_->schedule("APMConditionalUserPropertyController:161", [answer, weakEngine, namePrefix, origin] {
    std::optional<Properties> result;
    auto current = weakEngine.lock();
    if (current && !current->isEnabled()) {
      APMLog(APMLogLevel::kWarning, APMConditionalUserPropertyLogCode::kCannotQueryConditionalUserProperties,
             "Cannot query for conditional user properties. Analytics is disabled");
    } else if (current && current->database()) {
      platform::Error error;
      result =
          current->database()->conditionalProperties().conditionalUserPropertiesWithPrefix(namePrefix, origin, &error);
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
  if (!checkWorkerQueue("setConditionalUserPropertyOnWorkerQueue:")) return;
  if (!engine_->isEnabled() || !engine_->database()) {
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
  auto databaseHolder = engine_->database();
  APMDatabase& database = *databaseHolder;
  auto record = property->copy();
  std::shared_ptr<APMEvent> triggeredEvent;
  const bool committed = database.performTransaction([&] {
    triggeredEvent = nullptr;
    platform::Error error;
    auto stored = database.conditionalProperties().conditionalUserPropertyWithName(record->name, &error);
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
      if (!database.userProperties().updateUserAttribute(attribute, &error)) {
        APMLog(APMLogLevel::kErrorSampled,
               APMConditionalUserPropertyLogCode::kCannotUpdateUserPropertyConditionalUserProperty,
               "Cannot update user property from conditional user property. Name, origin, error", record->name,
               record->origin, error);
        return false;
      }
      APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kUserPropertyUpdatedNameOrigin,
             "User property updated. Name, origin", record->name, record->origin);
    }
    if (!database.conditionalProperties().updateConditionalUserProperty(*record, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotInsertUserPropertyConditionalUser,
             "Cannot insert user property from conditional user property. Name, origin, error", record->name,
             record->origin, error);
      return false;
    }
    APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kConditionalUserPropertyAdded,
           "Conditional user property added. Name, origin", record->name, record->origin);
    return true;
  });
  if (committed) mayHaveRecords_ = true;
  if (!committed || !triggeredEvent) return;
  engine_->writeEvent(triggeredEvent);
  engine_->updateSchedule();
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<APMConditionalUserProperty>& property) {
  if (!checkWorkerQueue("removeConditionalUserPropertyOnWorkerQueue:")) return;
  if (!engine_->isEnabled() || !engine_->database()) {
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
  auto databaseHolder = engine_->database();
  APMDatabase& database = *databaseHolder;
  std::shared_ptr<APMEvent> expiredEvent;
  const bool committed = database.performTransaction([&] {
    expiredEvent = nullptr;
    platform::Error error;
    auto stored = database.conditionalProperties().conditionalUserPropertyWithName(property->name, &error);
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
    if (!database.conditionalProperties().deleteConditionalUserPropertyWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotDeleteConditionalUserProperty,
             "Cannot delete conditional user property. Name, origin, error", property->name, property->origin, error);
      return false;
    }
    if (stored->active && !database.userProperties().deleteUserAttributeWithName(property->name, &error)) {
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
  engine_->writeEvent(expiredEvent);
  engine_->updateSchedule();
}

// MARK: - Event processing (worker queue)

std::optional<APMEventCompanions> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const APMEvent& event) {
  if (!checkWorkerQueue("processEventOnWorkerQueue:")) return std::nullopt;
  auto database = engine_->database();
  if (!database) return std::nullopt;
  APMEventCompanions companions;
  std::optional<Events> triggeredEvents;
  const bool committed = database->performTransaction([&] {
    companions.before.clear();
    if (!removeTimedOutCUPWithTimedOutEvents(companions.before)) return false;
    if (!removeExpiredCUPWithExpiredEvents(companions.before)) return false;
    triggeredEvents = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event.name());
    return triggeredEvents.has_value();
  });
  if (!committed) return std::nullopt;
  companions.after = std::move(*triggeredEvents);
  return companions;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(Events& events) {
  if (!checkWorkerQueue("removeTimedOutCUPWithTimedOutEvents:")) return false;
  auto databaseHolder = engine_->database();
  if (!databaseHolder) return false;
  APMDatabase& database = *databaseHolder;
  platform::Error error;
  auto timedOut = database.conditionalProperties().timedOutConditionalUserPropertiesWithError(&error);
  if (!timedOut) {
    APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotFetchTimedOutConditionalUser,
           "Cannot fetch timed out conditional user properties. Error", error);
    return false;
  }
  const double now = platform::now();
  for (const auto& property : *timedOut) {
    APMLog(APMLogLevel::kDebug, APMConditionalUserPropertyLogCode::kConditionalUserPropertyTimedOut,
           "Conditional user property has timed out. Name", property->name);
    if (!database.conditionalProperties().deleteConditionalUserPropertyWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotDeleteTimedOutConditionUser,
             "Cannot delete timed out condition user property. Name, error", property->name, error);
      return false;
    }
    if (auto made = eventFromStoredEvent(property->timedOutEvent, property->origin, now)) events.push_back(made);
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(Events& events) {
  if (!checkWorkerQueue("removeExpiredCUPWithExpiredEvents:")) return false;
  auto databaseHolder = engine_->database();
  if (!databaseHolder) return false;
  APMDatabase& database = *databaseHolder;
  platform::Error error;
  auto expired = database.conditionalProperties().expiredConditionalUserPropertiesWithError(&error);
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
    if (!database.userProperties().deleteUserAttributeWithName(property->name, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotRemoveConditionalUserProperty,
             "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
             property->name, property->origin, error);
      return false;
    }
    if (!database.conditionalProperties().deleteConditionalUserPropertyWithName(property->name, &error)) {
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
  if (!checkWorkerQueue("updateConditionalUserPropertiesWithEventNameOnWorkerQueue:")) return std::nullopt;
  auto databaseHolder = engine_->database();
  if (!databaseHolder) return std::nullopt;
  APMDatabase& database = *databaseHolder;
  platform::Error error;
  auto triggered = database.conditionalProperties().triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (triggered && triggered->empty()) {
    const auto& reserved = APMReservedEventNamesAllowedForPublicLogging();
    if (auto internal = reserved.find(eventName); internal != reserved.end()) {
      triggered =
          database.conditionalProperties().triggeredConditionalUserPropertiesWithEventName(internal->second, &error);
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
      if (!database.userProperties().updateUserAttribute(attribute, &error)) {
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
    if (!database.conditionalProperties().updateConditionalUserProperty(*property, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMConditionalUserPropertyLogCode::kCannotUpdateConditionalUserProperty,
             "Cannot update conditional user property. Name, origin, error", property->name, property->origin, error);
      return std::nullopt;
    }
  }
  return events;
}
