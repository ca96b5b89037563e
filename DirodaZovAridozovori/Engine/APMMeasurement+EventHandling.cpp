// The road of one event on the worker queue, from the engine's hands to a stored raw-event row.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "APMDatabase.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"
#include "platform/Unicode.h"

namespace {

constexpr size_t kMaxErrorTextLength = 40;
constexpr int64_t kMaxPreviousFirstOpenCount = INT64_MAX;

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

std::string describeParameters(const APMParameters& parameters) {
  std::string text = "{";
  bool first = true;
  for (const auto& [name, value] : parameters) {
    if (!first) text += ", ";
    first = false;
    text += name + ": " + value.description();
  }
  return text + "}";
}

std::shared_ptr<APMPBOnDeviceMeasurementValue> onDeviceValue(APMDatabase& database, const char* name,
                                                             int64_t errorCode, const char* errorText) {
  platform::Error error;
  auto row = database.ODMValueWithName(name, &error);
  if (!row) {
    if (!error.empty()) log()->logWithLevel(4, errorCode, errorText, error);
    return nullptr;
  }
  const platform::Object* setTimestamp = platform::find(*row, "set_timestamp");
  const platform::Object* value = platform::find(*row, "value");
  if (!setTimestamp || !value || !setTimestamp->isNumber() || !value->asString()) return nullptr;
  auto message = APMPBOnDeviceMeasurementValue::initWithMessageInfo();
  APMNanoSetInt64(*message, APMPBOnDeviceMeasurementValue::kSetTimestampMillis,
                  APMMillisecondsFromSeconds(setTimestamp->doubleValue()));
  APMNanoSetString(*message, APMPBOnDeviceMeasurementValue::kValue, *value->asString());
  return message;
}

}  // namespace

// MARK: - Transactions and their side effects

void APMMeasurement::afterCommit(std::function<void()> action) {
  if (commitActions_) {
    commitActions_->push_back(std::move(action));
    return;
  }
  action();
}

int32_t APMMeasurement::currentDayNumber() const {
  return APMDayNumber(platform::now(), persistedConfig_->midnightOffset().value_or(0));
}

APMMeasurement::RoadSettings APMMeasurement::readRoadSettings() {
  RoadSettings settings;
  settings.maxEventsPerDay = remoteConfig_->maxEventsPerDay();
  settings.maxErrorEventsPerDay = remoteConfig_->maxErrorEventsPerDay();
  settings.maxPublicEventsPerDay = remoteConfig_->maxPublicEventsPerDay();
  settings.maxRealtimeEventCountPerDay = remoteConfig_->maxRealtimeEventCountPerDay();
  settings.maxRealtimeDCUEventCountPerDay = remoteConfig_->maxRealtimeDCUEventCountPerDay();
  settings.maxEventNameCardinality = remoteConfig_->maxEventNameCardinality();
  settings.blocklistInternal = remoteConfig_->blocklistInternal();
  settings.blocklistPublic = remoteConfig_->blocklistPublic();
  settings.day = currentDayNumber();
  settings.defaultEventParameters = persistedConfig_->defaultEventParameters();
  settings.eventEditing = remoteConfig_->eventEditing();
  return settings;
}

APMMeasurement::RoadSettings& APMMeasurement::roadSettings() {
  if (groupSettings_) return *groupSettings_;
  adHocSettings_ = readRoadSettings();
  return *adHocSettings_;
}

std::pair<bool, bool> APMMeasurement::nameRules(const std::string& eventName) {
  auto lookUp = [&] {
    return std::make_pair(remoteConfig_->isEventBlocklisted(eventName), remoteConfig_->isEventCustomConversion(eventName));
  };
  if (!groupSettings_) return lookUp();
  auto& rules = groupSettings_->nameRules;
  auto found = rules.find(eventName);
  if (found == rules.end()) found = rules.emplace(eventName, lookUp()).first;
  return found->second;
}

// MARK: - Entries

void APMMeasurement::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!checkWorkerQueue("handleInternalEventOnWorkerQueue:") || !event) return;
  if (event->name() != "_err") {
    if (auto defaults = persistedConfig_->defaultEventParameters(); defaults && !defaults->empty()) {
      event->applyParameters(event->name() == "_cmp" ? APMParametersWithoutZadPrefix(*defaults) : *defaults, true);
    }
  }
  handleEventOnWorkerQueue(event);
  auto hooks = APMAnalyticsHooksSnapshot();
  if (hooks->notifyEventListeners) afterCommit([notify = hooks->notifyEventListeners, event] { notify(event); });
}

void APMMeasurement::handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!checkWorkerQueue("handleEventOnWorkerQueue:") || !event) return;
  auto monitor = log();
  // Without the components (a failed start) there is nowhere to write: the road is a no-op.
  if (!isEnabled() || !database_ || !remoteConfig_) {
    monitor->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  pendingRolloutsText_.reset();
  event = eventAfterSafelistingEvent(event);
  if (!event) return;
  processSessionFromEvent(*event);
  if (APMIsSubscriptionEvent(*event)) {
    handleSubscriptionEventOnWorkerQueue(event);
  } else {
    continueRoadOnWorkerQueue(event);
  }
  pendingRolloutsText_.reset();
  // Also after a failed edit: the stored event must still reach an upload.
  if (scheduleUpdateDeferred_) {
    scheduleUpdateWanted_ = true;
  } else {
    updateSchedule();
  }
}

void APMMeasurement::handleSubscriptionEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  // Everything the road writes for this event happens inside one savepoint with the recorded
  // de-duplication ID: if the event's row is rolled back, a resend must not look like a duplicate.
  std::vector<std::function<void()>> actions;
  auto* outer = commitActions_;
  commitActions_ = &actions;
  const auto savedGroupState = groupState_;
  const uint64_t rolledBackBefore = rolledBackWrites_;
  platform::Error error;
  const bool committed = database_->performTransaction(
      [&] {
        if (!dedupeSubscriptionEvent(*event)) return true;
        continueRoadOnWorkerQueue(event);
        return rolledBackWrites_ == rolledBackBefore;
      },
      &error);
  commitActions_ = outer;
  if (!committed) {
    groupState_ = savedGroupState;
    cachedMetadata_.reset();
    return;
  }
  for (auto& action : actions) afterCommit(std::move(action));
}

void APMMeasurement::continueRoadOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  auto monitor = log();
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithZoredodeFeatureRollouts(event);
  writeSessionStartEventOnWorkerQueue(*event);

  auto host = roadSettings().eventEditing;
  auto runEditing = componentsSnapshot()->runEventEditing;
  if (!host || !runEditing) {
    writeEventOnWorkerQueue(event);
  } else {
    APMEventEditingOutcome outcome = runEditing(*host, event->editEvent());
    if (outcome.failed) {
      writeEventOnWorkerQueue(event);
      monitor->logWithLevel(1, 23223, "Event editing failed. Event name", event->name());
    } else {
      std::shared_ptr<APMEvent> edited;
      if (outcome.outputEvent) edited = APMEvent::eventFromEditEvent(*outcome.outputEvent);
      writeEventOnWorkerQueue(edited ? edited : event);
      for (const auto& created : outcome.eventsToLog) {
        const platform::Object* originParameter = platform::find(created.parameters, "_o");
        const std::string origin =
            originParameter && originParameter->asString() ? *originParameter->asString() : std::string("app");
        if (auto createdEvent = APMEvent::create(origin, false, created.name, created.timestamp, 0, created.parameters)) {
          writeEventOnWorkerQueue(createdEvent);
        }
      }
    }
  }
}

std::shared_ptr<APMEvent> APMMeasurement::eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) const {
  if (safelistedEvents_.empty()) return event;
  if (std::find(safelistedEvents_.begin(), safelistedEvents_.end(), event->name()) != safelistedEvents_.end()) {
    auto copy = event->copy();
    copy->setParameter("da_safelisted", APMValue(static_cast<int64_t>(1)));
    return copy;
  }
  log()->logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin", event->name(),
                      event->origin());
  return nullptr;
}

void APMMeasurement::processSessionFromEvent(const APMEvent& event) {
  if (APMAnalyticsHooksIsAppActive()) return;
  auto monitor = log();
  if (const APMValue* extend = event.parameter("extend_session")) {
    if (extend->isInt64() && extend->int64Value() == 1) {
      if (isSessionExpiredOnWorkerQueue()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        extendSessionOnWorkerQueue();
      }
    } else {
      monitor->logWithLevel(3, 23179,
                            "extend_session is a reserved parameter. To extend or start a session in the background, "
                            "set an event parameter {@'extend_session': @1}");
    }
  }
  if (!isSessionExpiredOnWorkerQueue()) return;
  struct Removal {
    const char* name;
    int64_t code;
    const char* text;
  };
  static const Removal kRemovals[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192, "Failed to remove session user engagement user property on session expiration. Error"},
  };
  platform::Error ignored;
  database_->performTransaction(
      [&] {
        for (const auto& removal : kRemovals) {
          platform::Error error;
          if (!database_->deleteUserAttributeWithName(removal.name, &error)) {
            monitor->logWithLevel(2, removal.code, removal.text, error);
            return false;
          }
        }
        return true;
      },
      &ignored);
  ++userAttributesGeneration_;
}

bool APMMeasurement::dedupeSubscriptionEvent(const APMEvent& event) {
  if (!APMIsSubscriptionEvent(event)) return true;
  const APMValue* deduplicationID = event.parameter("_did");
  if (!deduplicationID || !deduplicationID->isInt64()) return true;
  // -1 stands for "no de-duplication ID": such events are never duplicates.
  if (deduplicationID->int64Value() == -1) return true;
  auto monitor = log();
  const APMValue* product = event.parameter("product_id");
  const std::string productID = product ? product->description() : std::string();
  platform::Error error;
  auto isNew = database_->insertIfNotDuplicateSubscriptionID(std::to_string(deduplicationID->int64Value()), &error);
  if (!isNew) {
    monitor->logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error", productID, error);
    return true;
  }
  if (!*isNew) {
    monitor->logWithLevel(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
                          productID);
    return false;
  }
  platform::Error deleteError;
  auto deleted = database_->deleteSubscriptionsOverLimit(&deleteError);
  if (!deleted) {
    // The new ID is already recorded, so dropping the event here would lose the purchase for good.
    monitor->logWithLevel(5, 23183, "Failed to delete older subscription records. Error", deleteError);
    return true;
  }
  if (*deleted != 0) monitor->logWithLevel(5, 23184, "Deleted older subscription records beyond limit");
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
  if (event.name() != "_ssr") return false;
  auto monitor = log();
  const auto stored = currentRolloutsText();
  const APMValue* parameter = event.parameter("_ffr");
  const bool parameterIsString = parameter && parameter->isString();
  const bool duplicate = stored ? (parameterIsString && parameter->stringValue() == *stored)
                                : (!parameter || (parameterIsString && parameter->stringValue().empty()));
  if (duplicate) {
    monitor->logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (parameter && !parameterIsString) {
    monitor->logWithLevel(2, 23190, "Unable to process zoredode feature rollouts, value is not a string.");
  }
  // Recorded only once this event is stored: a refused or rolled-back report must not make the next
  // report of the same value look like a duplicate.
  if (parameterIsString && !parameter->stringValue().empty()) {
    pendingRolloutsText_ = std::optional<std::string>(parameter->stringValue());
  } else {
    pendingRolloutsText_ = std::optional<std::string>();
  }
  return false;
}

std::optional<std::string> APMMeasurement::currentRolloutsText() const {
  if (groupState_ && groupState_->rolloutsText) return *groupState_->rolloutsText;
  return persistedConfig_->zoredodeFeatureRollouts();
}

std::shared_ptr<APMEvent> APMMeasurement::appExceptionEventWithZoredodeFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  if (event->name() != "_ae") return event;
  auto stored = currentRolloutsText();
  if (!stored) return event;
  auto copy = event->copy();
  copy->setParameter("_ffr", APMValue(*stored));
  return copy;
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(const APMEvent& event) {
  if (!checkWorkerQueue("writeSessionStartEventOnWorkerQueue:") || event.name() != "_s") return;
  const APMValue* sessionID = event.parameter("_sid");
  const APMValue* sessionNumber = event.parameter("_sno");
  if (sessionID && sessionNumber) backfillSessionID(*sessionID, *sessionNumber);
  auto stored = currentRolloutsText();
  if (!stored) return;
  if (auto rollouts = APMEvent::create("auto", false, "_ssr", platform::now(), 0, platform::Dictionary{{"_ffr", *stored}})) {
    writeEventOnWorkerQueue(rollouts);
  }
}

// MARK: - Writing

void APMMeasurement::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!checkWorkerQueue("writeEventOnWorkerQueue:") || !event) return;
  auto monitor = log();
  if (monitor->isLoggableLevel(7)) {
    monitor->logWithLevel(7, 23051, "Logging event: origin, name, params", event->origin(), event->name(),
                          describeParameters(event->parameters()));
  }
  std::vector<std::shared_ptr<APMEvent>> caused;
  if (auto process = componentsSnapshot()->processConditionalUserProperties) {
    // The step writes the events of expired properties itself, after removing those properties.
    ++userAttributesGeneration_;
    auto result = process(*event);
    ++userAttributesGeneration_;
    if (result) {
      caused = std::move(*result);
    } else {
      monitor->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                            event->name(), event->origin());
    }
  }
  writeFilteredEventOnWorkerQueue(event);
  for (const auto& next : caused) {
    if (next) writeFilteredEventOnWorkerQueue(next);
  }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!checkWorkerQueue("writeFilteredEventOnWorkerQueue:") || !event || !database_) return;
  auto monitor = log();
  const std::string& name = event->name();
  if (nameRules(name).first) {
    monitor->logWithLevel(5, 23052, "Rejected event. Event name", name);
    const RoadSettings& settings = roadSettings();
    if (!settings.blocklistInternal && !settings.blocklistPublic && name != "_err") {
      logInternalEvent("auto", "_err",
                       {{"_err", static_cast<int64_t>(11)},
                        {"_ev", platform::truncateToCharacters(name, kMaxErrorTextLength)}});
    }
    return;
  }
  // Inside a group the identity was refreshed once when the group began.
  if (identity_ && !identityRefreshedForGroup_) identity_->updateIdentifiers();
  if (APMIsConversionEventName(name)) event->setConversion(true);

  std::vector<std::function<void()>> actions;
  auto* outer = commitActions_;
  commitActions_ = &actions;
  platform::Error error;
  const bool committed = database_->performTransaction([&] { return writeFilteredEventInTransaction(*event); }, &error);
  commitActions_ = outer;
  if (!committed) {
    // Whatever was read inside the rolled-back savepoint may no longer be true.
    cachedMetadata_.reset();
    ++rolledBackWrites_;
    return;
  }
  if (groupState_) {
    if (eventOutcome_.dailyCounts) {
      groupState_->dailyCounts = eventOutcome_.dailyCounts;
      groupState_->dailyCountsChanged = true;
    }
    if (eventOutcome_.ensuredAggregate) groupState_->namesWithAggregates.insert(name);
    if (eventOutcome_.storedFingerprint) groupState_->storedFingerprint = eventOutcome_.storedFingerprint;
    if (eventOutcome_.rolloutsText) groupState_->rolloutsText = eventOutcome_.rolloutsText;
  }
  for (auto& action : actions) afterCommit(std::move(action));
}

bool APMMeasurement::flushGroupDailyCounts() {
  if (!groupState_ || !groupState_->dailyCountsChanged || !groupState_->dailyCounts) return true;
  platform::Error error;
  if (database_->updateDailyCounts(*groupState_->dailyCounts, &error)) return true;
  log()->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error", std::string(), error);
  return false;
}

bool APMMeasurement::writeFilteredEventInTransaction(APMEvent& event) {
  auto monitor = log();
  eventOutcome_ = EventOutcome{};
  if (!updateLifetimeValueWithEvent(event)) return false;
  const bool isPublic = APMIsPublicName(event.name());
  std::optional<APMDailyCounts> counts;
  if (groupState_ && groupState_->dailyCounts) {
    counts = groupState_->dailyCounts;
  } else {
    platform::Error error;
    counts = database_->dailyCounts(&error);
    if (!counts) {
      monitor->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error", error);
      return false;
    }
  }
  const bool process = shouldProcessEvent(event, *counts, isPublic);
  const bool realtime = isRealtimeEvent(event, *counts);
  if (groupState_) {
    // Written once for the whole group, inside its transaction.
    eventOutcome_.dailyCounts = *counts;
  } else {
    platform::Error updateError;
    if (!database_->updateDailyCounts(*counts, &updateError)) {
      monitor->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error", event.name(),
                            updateError);
      return false;
    }
  }
  if (!process) return true;
  return writeEvent(event, isPublic, realtime);
}

bool APMMeasurement::updateLifetimeValueWithEvent(const APMEvent& event) {
  auto parts = componentsSnapshot();
  if (!parts->isPurchaseEvent || !parts->recordLifetimeValue || !parts->isPurchaseEvent(event)) return true;
  const bool recorded = parts->recordLifetimeValue(*database_, event);
  ++userAttributesGeneration_;
  if (recorded) return true;
  const APMValue* currency = event.parameter("currency");
  const APMValue* value = event.parameter("value");
  log()->logWithLevel(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                      event.name(), currency ? currency->description() : std::string(),
                      value ? value->description() : std::string());
  return false;
}

bool APMMeasurement::shouldProcessEvent(const APMEvent& event, APMDailyCounts& dailyCounts, bool isPublicEvent) {
  using Refusal = APMDailyLimitDecision::Refusal;
  const RoadSettings& settings = roadSettings();
  const APMDailyLimits limits{settings.maxEventsPerDay, settings.maxErrorEventsPerDay, settings.maxPublicEventsPerDay};
  const auto decision = APMApplyDailyLimits(event, isPublicEvent, settings.day, limits, dailyCounts);
  auto monitor = log();
  switch (decision.refusal) {
    case Refusal::None:
      break;
    case Refusal::AllEvents:
      if (decision.shouldLog) {
        monitor->logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit", event.name(),
                              decision.limit);
      }
      break;
    case Refusal::ErrorEvents:
      if (decision.shouldLog) {
        const APMValue* code = event.parameter("_err");
        monitor->logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                              code ? code->int64Value() : 0, decision.limit);
      }
      break;
    case Refusal::PublicEvents:
      if (decision.shouldLog) {
        monitor->logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit", event.name(),
                              decision.limit);
      }
      logInternalEvent("auto", "_err", {{"_err", static_cast<int64_t>(16)}});
      break;
  }
  return decision.accept;
}

bool APMMeasurement::isRealtimeEvent(APMEvent& event, APMDailyCounts& dailyCounts) {
  const RoadSettings& settings = roadSettings();
  const int64_t limit = settings.maxRealtimeEventCountPerDay;
  const int64_t dcuLimit = settings.maxRealtimeDCUEventCountPerDay;
  const bool subjectToLimit = APMIsSubjectToRealtimeLimit(event);
  bool wanted = false;
  if (event.isConversion() || nameRules(event.name()).second) {
    wanted = dailyCounts.realtimeCount < limit || !subjectToLimit;
  }
  if (event.isRealtime() && subjectToLimit && dailyCounts.realtimeCount >= limit) {
    event.setRealtime(false);
    log()->logWithLevel(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                        event.name(), describeParameters(event.parameters()));
  }
  if (event.isRealtime() && APMIsDCUEvent(event) &&
      dailyCounts.dcuRealtimeCount >= dcuLimit) {
    event.setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return wanted || event.isRealtime();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(APMEvent& event) {
  auto monitor = log();
  if (!monitor->isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  monitor->logWithLevel(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                        event.name(), describeParameters(event.parameters()));
}

bool APMMeasurement::writeEvent(APMEvent& event, bool isPublicEvent, bool isRealtime) {
  auto monitor = log();
  const std::string& name = event.name();
  platform::Error error;
  const bool knownAggregate = groupState_ && groupState_->namesWithAggregates.count(name) != 0;
  auto aggregates = knownAggregate ? nullptr : database_->eventAggregatesWithName(name, &error);
  if (!knownAggregate && !aggregates) {
    if (!error.empty()) {
      monitor->logWithLevel(1, 23063, "Cannot query event aggregates. Name, error", name, error);
      return false;
    }
    if (isPublicEvent) {
      platform::Error countError;
      auto count = database_->publicEventCount(&countError);
      if (!count) {
        monitor->logWithLevel(1, 23064, "Cannot query event count. Error", countError);
        return false;
      }
      if (*count >= roadSettings().maxEventNameCardinality) {
        monitor->logWithLevel(1, 23065, "Cannot set event. Reached limit on set events. Name", name);
        logInternalEvent("auto", "_err",
                         {{"_err", static_cast<int64_t>(8)},
                          {"_ev", platform::truncateToCharacters(name, kMaxErrorTextLength)}});
        return false;
      }
    }
    platform::Error updateError;
    if (!database_->updateEventAggregates(APMEventAggregates(name, 0, 0, 0, 0), &updateError)) {
      monitor->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error", updateError);
      return false;
    }
  }
  const bool wantsAdvertisingReset =
      identityRefreshedForGroup_ ? groupShouldSetLastAdvertisingIDReset_
                                 : (identity_ && identity_->shouldSetLastAdvertisingIDResetUserProperty());
  eventOutcome_.ensuredAggregate = true;
  if (wantsAdvertisingReset) {
    groupShouldSetLastAdvertisingIDReset_ = false;
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }

  // Metadata is rebuilt only when the user properties may have changed since it was last built
  // inside this group of events; the encoded form and fingerprint are what the row needs.
  if (!cachedMetadata_ || cachedMetadata_->generation != userAttributesGeneration_ || !scheduleUpdateDeferred_) {
    platform::Error attributesError;
    auto attributes = database_->userAttributesIncludingInternal(true, &attributesError);
    if (!attributes) {
      monitor->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", attributesError);
      return false;
    }
    auto metadata = createRawEventMetadataWithUserAttributes(*attributes);
    CachedMetadata cache;
    cache.generation = userAttributesGeneration_;
    cache.hasResettableDeviceID = APMNanoHasField(*metadata, APMPBMeasurementBundle::kResettableDeviceId);
    cache.encoded = metadata->protoBuffer();
    cache.fingerprint = APMDatabase::metadataFingerprint(cache.encoded);
    cachedMetadata_ = std::move(cache);
  }
  const CachedMetadata& metadata = *cachedMetadata_;

  if (metadata.hasResettableDeviceID && persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
    const double timestamp = event.timestamp();
    afterCommit([weakSelf = weak_from_this(), timestamp] {
      if (auto self = weakSelf.lock()) self->logFirstOpenConsentedEvent(timestamp);
    });
  } else if (name == "_f" && !metadata.hasResettableDeviceID) {
    afterCommit([config = persistedConfig_] { config->setUnmatchedFirstOpenWithoutIDFA(true); });
  }

  const bool metadataStored = groupState_ && groupState_->storedFingerprint == metadata.fingerprint;
  platform::Error metadataError;
  if (!metadataStored && !database_->insertIfNotExistsRawEventMetadata(metadata.encoded, &metadataError)) {
    monitor->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", metadataError);
    return false;
  }
  eventOutcome_.storedFingerprint = metadata.fingerprint;
  platform::Error limitError;
  auto deleted = database_->deleteRawEventsOverAbsoluteLimit(&limitError);
  if (!deleted) {
    monitor->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error", limitError);
    return false;
  }
  if (*deleted != 0) monitor->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count", *deleted);
  platform::Error insertError;
  if (!database_->insertRawEvent(event, metadata.fingerprint, isRealtime, &insertError)) {
    monitor->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", insertError);
    return false;
  }
  if (name == "_ssr" && pendingRolloutsText_) {
    eventOutcome_.rolloutsText = *pendingRolloutsText_;
    afterCommit([config = persistedConfig_, text = *pendingRolloutsText_] { config->setZoredodeFeatureRollouts(text); });
    pendingRolloutsText_.reset();
  }
  if (name == "_f") {
    afterCommit([weakSelf = weak_from_this()] {
      auto self = weakSelf.lock();
      if (!self) return;
      int64_t count = std::strtoll(self->previousFirstOpenCount().c_str(), nullptr, 10);
      if (count < 1) count = 0;
      if (count != kMaxPreviousFirstOpenCount) ++count;
      self->setPreviousFirstOpenCount(std::to_string(count));
    });
  }
  if (monitor->isLoggableLevel(7)) {
    monitor->logWithLevel(7, 23072, "Event logged. Event name, event params", name,
                          describeParameters(event.parameters()));
  }
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kPlatform, std::string("macos"));
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
  if (identity_) {
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppId, identity_->appID());
    if (!identity_->isFromAppStore()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallSource, std::string("manual_install"));
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppVersion, identity_->appVersion());
    if (auto serviceAppID = identity_->appIDFromDMP(); serviceAppID && !serviceAppID->empty()) {
      APMNanoSetString(*bundle, APMPBMeasurementBundle::kServiceAppId, *serviceAppID);
    }
  }
  APMNanoSetInt64(*bundle, APMPBMeasurementBundle::kLibraryVersion, APMIdentity::zovAridozovoriLibraryVersion());
  if (identity_) {
    if (auto installationID = identity_->zoredodeInstallationID()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallationId, *installationID);
    auto token = identity_->sessionStitchingTokenWithSessionNumber(
        persistedConfig_->sessionNumber(), isSessionExpiredOnWorkerQueue(), hasUserPropertyUserIDOnWorkerQueue());
    if (token && !token->empty()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kSessionStitchingToken, *token);
    if (auto major = identity_->appVersionMajor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMajor, *major);
    if (auto minor = identity_->appVersionMinor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMinor, *minor);
    if (auto release = identity_->appVersionRelease()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionRelease, *release);
  }
  auto parts = componentsSnapshot();
  if (parts->addIdentifierAndConsentFields) {
    parts->addIdentifierAndConsentFields(*bundle);
  } else {
    addIdentifierAndConsentFieldsToMetadata(*bundle);
  }
  auto environment = APMEnvironmentInfo::sharedInstance();
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kDeviceModel, environment->deviceModel());
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kOsVersion, environment->deviceOSVersion());
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kTimeZoneOffsetMinutes, environment->timeZoneOffsetMinutes());
  if (auto language = environment->userDefaultLanguage()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kUserDefaultLanguage, *language);

  if (!userAttributes.empty()) {
    std::vector<std::shared_ptr<APMPBUserAttribute>> messages;
    bool hasNPA = false;
    for (const auto& attribute : userAttributes) {
      if (!attribute) continue;
      hasNPA = hasNPA || attribute->name() == "_npa";
      messages.push_back(attribute->protoUserAttribute());
    }
    if (!hasNPA && database_) {
      platform::Error error;
      if (auto npa = database_->userAttributeWithName("_npa", &error)) messages.push_back(npa->protoUserAttribute());
    }
    APMNanoSetRepeatedField(*bundle, APMPBMeasurementBundle::kUserAttributes, messages);
  }

  if (auto buffer = persistedConfig_->adCampaignInfoBuffer(); buffer && !buffer->empty()) {
    auto info = APMPBAdCampaignInfo::fromBuffer(*buffer);
    if (info) APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kAdCampaignInfo, info);
  }
  if (database_) {
    auto odm1 = onDeviceValue(*database_, "odm1_value", 23287, "Failed to query ODM value. Error");
    auto odm1Session = onDeviceValue(*database_, "odm1_session_value", 23288, "Failed to query ODM session value. Error");
    auto odm2 = onDeviceValue(*database_, "odm2_value", 23291, "Failed to query ODM value. Error");
    if (odm1 || odm1Session || odm2) {
      auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo();
      if (odm1) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm1Value, odm1);
      if (odm1Session) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm1SessionValue, odm1Session);
      if (odm2) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm2Value, odm2);
      APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kOnDeviceMeasurementInfo, info);
    }
  }
  int32_t linkedClients = 0;
  if (APMDefaultIdentitySupport::sharedInstance()->hasAppDataConsentStatus()) linkedClients |= 1;
  if (parts->isPrivateSetMembershipClientLinked && parts->isPrivateSetMembershipClientLinked()) linkedClients |= 2;
  if (parts->isAlphaAppAdsOnDeviceConversionLinked && parts->isAlphaAppAdsOnDeviceConversionLinked()) {
    linkedClients |= 4;
  }
  if (parts->isDirodaAdsOnDeviceConversionLinked && parts->isDirodaAdsOnDeviceConversionLinked()) linkedClients |= 8;
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kLinkedClientFlags, linkedClients);
  return bundle;
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  int64_t previous = std::strtoll(previousFirstOpenCount().c_str(), nullptr, 10);
  platform::Dictionary parameters{{"_pfo", std::max<int64_t>(previous, 1) - 1}};
  int64_t updatedWithAnalytics = 0;
  if (database_) {
    platform::Error error;
    auto firstOpenAfterInstall = database_->userAttributeWithName("_fi", &error);
    if (firstOpenAfterInstall && firstOpenAfterInstall->value().int64Value() < 1) updatedWithAnalytics = 1;
  }
  parameters["_uwa"] = updatedWithAnalytics;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:1056", [weakSelf, timestamp, parameters] {
    auto self = weakSelf.lock();
    if (!self) return;
    auto event = APMEvent::create("auto", false, "_fx", timestamp, 0, parameters);
    if (!event) return;
    event->setRealtime(true);
    self->writeEventOnWorkerQueue(event);
  });
}
