// The road of one event on the worker queue, from the engine's hands to a stored raw-event row.
#include "APMWorkerEventRoad.h"

#include <algorithm>
#include <map>

#include "APMDatabase.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMEventRoad.h"
#include "APMEventWriter.h"
#include "APMMeasurement.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "platform/Clock.h"

namespace {

bool isAdExposureTraffic(std::string_view origin, std::string_view name) {
  return origin == "am" || name == "_xa" || name == "_xu";
}

}  // namespace

APMWorkerEventRoad::APMWorkerEventRoad(APMMeasurement& engine, APMEventWriterHost& host, APMEventWriter& writer)
    : engine_(engine), host_(host), writer_(writer) {}

// MARK: - Events made on the worker

void APMWorkerEventRoad::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
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

void APMWorkerEventRoad::routeLoggedEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event,
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

void APMWorkerEventRoad::logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners) {
  const APMAnalyticsHooks* hooks = notifyEventListeners ? listeningHooks() : nullptr;
  if (!hooks) {
    handleEventOnWorkerQueue(event);
    return;
  }
  // Listeners see the event as it was logged, before the road marks it. Taken before the road
  // runs, which may read the hooks again.
  auto notify = hooks->notifyEventListeners;
  auto copy = event->copy();
  handleEventOnWorkerQueue(event);
  writer_.afterCommit([notify = std::move(notify), copy] { notify(copy); });
}

const APMAnalyticsHooks* APMWorkerEventRoad::listeningHooks() {
  auto read = [] {
    auto hooks = APMAnalyticsHooksSnapshot();
    return APMAnalyticsHooksHaveEventListeners(*hooks) ? hooks : nullptr;
  };
  auto* group = writer_.group();
  if (!group) {
    outsideGroupHooks_ = read();
    return outsideGroupHooks_.get();
  }
  auto& hooks = group->caches().listeningHooks;
  if (!hooks) hooks = read();
  return hooks->get();
}

void APMWorkerEventRoad::changeUserAttributeInGroupOnWorkerQueue(const APMUserAttribute& attribute, bool remove) {
  // Outside a group (collection off, or a group that could not begin) it is written as it always was.
  if (!engine_.collection().isEnabled() || !host_.database() || !writer_.inGroup()) {
    return remove ? engine_.userProperties().removeUserAttributeOnWorkerQueue(attribute)
                  : engine_.userProperties().setUserAttributeOnWorkerQueue(attribute);
  }
  writer_.writeEvent([&] {
    return remove ? engine_.userProperties().removeUserPropertyFromDatabaseOnWorkerQueue(attribute)
                  : engine_.userProperties().setUserPropertyInDatabaseOnWorkerQueue(attribute);
  });
}

// MARK: - Default event parameters

bool APMWorkerEventRoad::joinsDefaultEventParameters(const std::string& name, bool ignoreInterceptor) {
  if (ignoreInterceptor || name == "_err") return false;
  auto* group = writer_.group();
  if (group) return group->settings().defaultEventParameters && !group->settings().defaultEventParameters->empty();
  auto defaults = host_.persistedConfig()->defaultEventParameters();
  return defaults && !defaults->empty();
}

platform::Dictionary APMWorkerEventRoad::parametersWithAddedDefaultEventParameters(
    const platform::Dictionary& parameters) {
  auto* group = writer_.group();
  const std::optional<platform::Dictionary> defaults =
      group ? group->settings().defaultEventParameters : host_.persistedConfig()->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  platform::Dictionary merged = *defaults;
  for (const auto& [key, value] : parameters) merged[key] = value;
  return merged;
}

// MARK: - Entries

void APMWorkerEventRoad::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("handleInternalEventOnWorkerQueue:") || !event) return;
  if (event->name() != "_err") {
    if (auto defaults = host_.persistedConfig()->defaultEventParameters(); defaults && !defaults->empty()) {
      event->applyParameters(event->name() == "_cmp" ? APMParametersWithoutZadPrefix(*defaults) : *defaults, true);
    }
  }
  handleEventOnWorkerQueue(event);
  auto hooks = APMAnalyticsHooksSnapshot();
  if (APMAnalyticsHooksHaveEventListeners(*hooks)) {
    writer_.afterCommit([notify = hooks->notifyEventListeners, event] { notify(event); });
  }
}

void APMWorkerEventRoad::handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!engine_.checkWorkerQueue("handleEventOnWorkerQueue:") || !event) return;
  // Without the components (a failed start) there is nowhere to write: the road is a no-op.
  if (!engine_.collection().isEnabled() || !host_.database() || !host_.remoteConfig()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabled, "Analytics is disabled. Event not logged");
    return;
  }
  writer_.setPendingRolloutsText(std::nullopt);
  event = eventAfterSafelistingEvent(event);
  if (!event) return;
  processSessionFromEvent(*event);
  if (APMIsSubscriptionEvent(*event)) {
    handleSubscriptionEventOnWorkerQueue(event);
  } else {
    continueRoadOnWorkerQueue(event);
  }
  writer_.setPendingRolloutsText(std::nullopt);
  // Also after a failed edit: the stored event must still reach an upload. A group updates the
  // schedule once, when it ends.
  if (auto* group = writer_.group()) {
    group->requestScheduleUpdate();
  } else {
    host_.updateSchedule();
  }
}

void APMWorkerEventRoad::handleSubscriptionEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  // Everything the road writes for this event is one event with the recorded de-duplication ID: if
  // the event's row is rolled back, a resend must not look like a duplicate.
  writer_.writeEvent([&] {
    if (!dedupeSubscriptionEvent(*event)) return true;
    continueRoadOnWorkerQueue(event);
    return !writer_.nestedEventRolledBack();
  });
}

void APMWorkerEventRoad::continueRoadOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithZoredodeFeatureRollouts(event);
  writeSessionStartEventOnWorkerQueue(*event);

  auto host = writer_.settings().eventEditing;
  std::optional<APMEventEditingOutcome> editing;
  if (host) {
    for (const auto& component : host_.engineComponentsActingAt(APMEngineEventMoment::kEditEvent)) {
      editing = component->editEvent(*host, event->editEvent());
      if (editing) break;
    }
  }
  if (!editing) {
    writeEventOnWorkerQueue(event);
  } else {
    const APMEventEditingOutcome& outcome = *editing;
    if (outcome.failed) {
      writeEventOnWorkerQueue(event);
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kEventEditingFailed, "Event editing failed. Event name",
             event->name());
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

std::shared_ptr<APMEvent> APMWorkerEventRoad::eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) const {
  if (engine_.setup().safelistedEvents.empty()) return event;
  if (std::find(engine_.setup().safelistedEvents.begin(), engine_.setup().safelistedEvents.end(), event->name()) != engine_.setup().safelistedEvents.end()) {
    auto copy = event->copy();
    copy->setParameter("da_safelisted", APMValue(static_cast<int64_t>(1)));
    return copy;
  }
  APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kEventDropped,
         "Event dropped. Reason: not in allowlist. Event name, origin", event->name(), event->origin());
  return nullptr;
}

bool APMWorkerEventRoad::isAppActive() {
  auto* group = writer_.group();
  if (!group) return APMAnalyticsHooksIsAppActive();
  auto& active = group->caches().appActive;
  if (!active) active = APMAnalyticsHooksIsAppActive();
  return *active;
}

void APMWorkerEventRoad::processSessionFromEvent(const APMEvent& event) {
  if (isAppActive()) return;
  if (const APMValue* extend = event.parameter("extend_session")) {
    if (extend->isInt64() && extend->int64Value() == 1) {
      if (engine_.sessions().isSessionExpiredOnWorkerQueue()) {
        engine_.sessions().reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        engine_.sessions().extendSessionOnWorkerQueue();
      }
    } else {
      APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kExtendSessionReservedParameter,
             "extend_session is a reserved parameter. To extend or start a session in the background, "
             "set an event parameter {@'extend_session': @1}");
    }
  }
  if (!engine_.sessions().isSessionExpiredOnWorkerQueue()) return;
  struct Removal {
    const char* name;
    APMLogCode code;
    const char* text;
  };
  static const Removal kRemovals[] = {
      {"_sid", APMMeasurementLogCode::kFailedRemoveSessionIDUserProperty,
       "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", APMMeasurementLogCode::kFailedRemoveSessionNumberUserProperty,
       "Failed to remove session number user property on session expiration. Error"},
      {"_se", APMMeasurementLogCode::kFailedRemoveSessionEngagementProperty,
       "Failed to remove session user engagement user property on session expiration. Error"},
  };
  // In a group, once removed the properties stay removed until one of them is written again (or
  // something rolls back).
  auto versions = [&] {
    std::vector<APMDatabase::Version> result;
    for (const auto& removal : kRemovals) {
      result.push_back(host_.database()->userProperties().userAttributeVersion(removal.name));
    }
    return result;
  };
  auto* group = writer_.group();
  if (group && group->caches().sessionPropertiesRemovedAt == versions()) return;
  platform::Error ignored;
  const bool removed = host_.database()->performTransaction(
      [&] {
        for (const auto& removal : kRemovals) {
          platform::Error error;
          if (!host_.database()->userProperties().deleteUserAttributeWithName(removal.name, &error)) {
            APMLog(APMLogLevel::kErrorSampledOnly, removal.code, removal.text, error);
            return false;
          }
        }
        return true;
      },
      &ignored);
  if (removed && group) group->caches().sessionPropertiesRemovedAt = versions();
}

bool APMWorkerEventRoad::dedupeSubscriptionEvent(const APMEvent& event) {
  if (!APMIsSubscriptionEvent(event)) return true;
  const APMValue* deduplicationID = event.parameter("_did");
  if (!deduplicationID || !deduplicationID->isInt64()) return true;
  // -1 stands for "no de-duplication ID": such events are never duplicates.
  if (deduplicationID->int64Value() == -1) return true;
  const APMValue* product = event.parameter("product_id");
  const std::string productID = product ? product->description() : std::string();
  platform::Error error;
  auto isNew = host_.database()->purchases().insertIfNotDuplicateSubscriptionID(
      std::to_string(deduplicationID->int64Value()), &error);
  if (!isNew) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kFailedSaveSubscriptionID,
           "Failed to save subscription ID. Product ID, error", productID, error);
    return true;
  }
  if (!*isNew) {
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kDuplicateSubscriptionDropped,
           "Event dropped. Reason: Subscription purchase is a duplicate. Product ID", productID);
    return false;
  }
  platform::Error deleteError;
  auto deleted = host_.database()->purchases().deleteSubscriptionsOverLimit(&deleteError);
  if (!deleted) {
    // The new ID is already recorded, so dropping the event here would lose the purchase for good.
    APMLog(APMLogLevel::kWarningSampledOnly, APMMeasurementLogCode::kFailedDeleteOlderSubscriptionRecords,
           "Failed to delete older subscription records. Error", deleteError);
    return true;
  }
  if (*deleted != 0)
    APMLog(APMLogLevel::kWarningSampledOnly, APMMeasurementLogCode::kDeletedOlderSubscriptionRecordsBeyondLimit,
           "Deleted older subscription records beyond limit");
  return true;
}

bool APMWorkerEventRoad::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
  if (event.name() != "_ssr") return false;
  const auto stored = writer_.rolloutsText();
  const APMValue* parameter = event.parameter("_ffr");
  const bool parameterIsString = parameter && parameter->isString();
  const bool duplicate = stored ? (parameterIsString && parameter->stringValue() == *stored)
                                : (!parameter || (parameterIsString && parameter->stringValue().empty()));
  if (duplicate) {
    APMLog(APMLogLevel::kVerbose, APMMeasurementLogCode::kDuplicateFeatureRollouts,
           "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (parameter && !parameterIsString) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kFeatureRolloutsNotString,
           "Unable to process zoredode feature rollouts, value is not a string.");
  }
  // Recorded only once this event is stored: a refused or rolled-back report must not make the next
  // report of the same value look like a duplicate.
  if (parameterIsString && !parameter->stringValue().empty()) {
    writer_.setPendingRolloutsText(std::optional<std::string>(parameter->stringValue()));
  } else {
    writer_.setPendingRolloutsText(std::optional<std::string>());
  }
  return false;
}

std::shared_ptr<APMEvent> APMWorkerEventRoad::appExceptionEventWithZoredodeFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  if (event->name() != "_ae") return event;
  auto stored = writer_.rolloutsText();
  if (!stored) return event;
  auto copy = event->copy();
  copy->setParameter("_ffr", APMValue(*stored));
  return copy;
}

void APMWorkerEventRoad::writeSessionStartEventOnWorkerQueue(const APMEvent& event) {
  if (event.name() != "_s") return;
  const APMValue* sessionID = event.parameter("_sid");
  const APMValue* sessionNumber = event.parameter("_sno");
  if (sessionID && sessionNumber) backfillSessionID(*sessionID, *sessionNumber);
  auto stored = writer_.rolloutsText();
  if (!stored) return;
  if (auto rollouts = APMEvent::create("auto", false, "_ssr", platform::now(), 0, platform::Dictionary{{"_ffr", *stored}})) {
    writeEventOnWorkerQueue(rollouts);
  }
}

// MARK: - Writing

void APMWorkerEventRoad::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("writeEventOnWorkerQueue:") || !event) return;
  if (writer_.logsDebugLines()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kLoggingEvent, "Logging event: origin, name, params",
           event->origin(), event->name(), APMDescribeParameters(event->parameters()));
  }
  // One set of companions for every component: a component's "before" events are written as soon
  // as it returns, its "after" events wait for the event itself.
  APMEventCompanions companions;
  for (const auto& component : host_.engineComponentsActingAt(APMEngineEventMoment::kEventWillBeWritten)) {
    const size_t afterCount = companions.after.size();
    if (!component->eventWillBeWritten(*event, companions)) {
      companions.before.clear();
      companions.after.resize(afterCount);
      APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kUnableProcessConditionalUserProperty,
             "Unable to process conditional user property. Event name, origin", event->name(), event->origin());
      continue;
    }
    if (companions.before.empty()) continue;
    const std::vector<std::shared_ptr<APMEvent>> before = std::move(companions.before);
    companions.before.clear();
    for (const auto& earlier : before) {
      if (earlier) writeCheckedFilteredEvent(earlier);
    }
  }
  writeCheckedFilteredEvent(event);
  for (const auto& next : companions.after) {
    if (next) writeCheckedFilteredEvent(next);
  }
}

void APMWorkerEventRoad::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("writeFilteredEventOnWorkerQueue:") || !event) return;
  writeCheckedFilteredEvent(event);
}

void APMWorkerEventRoad::writeCheckedFilteredEvent(const std::shared_ptr<APMEvent>& event) {
  if (host_.database()) writer_.writeFilteredEvent(event);
}

// MARK: - Session ID backfill

double APMWorkerEventRoad::backfillStartTimestampForSessionID(const APMValue& sessionID,
                                                          const std::vector<std::shared_ptr<APMRawEventData>>& rows) {
  for (const auto& row : rows) {
    if (row->rawEvent() && row->rawEvent()->name() == "_f") return row->rawEvent()->timestamp();
  }
  const double seconds = sessionID.isInt64() ? static_cast<double>(sessionID.int64Value()) : sessionID.doubleValue();
  return seconds - 15.0;
}

void APMWorkerEventRoad::backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber) {
  if (!host_.database()) return;
  platform::Error error;
  auto rows = host_.database()->rawEvents().allRawEventsWithError(&error);
  if (!rows) return;
  const double start = backfillStartTimestampForSessionID(sessionID, *rows);
  std::map<int64_t, bool> hasSessionIDByFingerprint;
  for (const auto& row : *rows) {
    const auto& event = row->rawEvent();
    if (!event || event->timestamp() < start) continue;
    auto known = hasSessionIDByFingerprint.find(row->metadataFingerprint());
    if (known == hasSessionIDByFingerprint.end()) {
      platform::Error metadataError;
      // The group's own metadata rows are stored only when it commits.
      const platform::Data* waiting = writer_.metadataWaitingForCommit(row->metadataFingerprint());
      auto metadata = waiting ? APMPBMeasurementBundle::fromBuffer(*waiting)
                              : host_.database()->rawEvents().queryRawEventsMetadataWithFingerprint(
                                    row->metadataFingerprint(), &metadataError);
      if (!metadata && !metadataError.empty()) {
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableBackfillSessionID,
               "Unable to backfill session ID. Fetch metadata failed. Error", metadataError);
        continue;
      }
      bool hasSessionID = false;
      if (metadata) {
        auto attributes = APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(*metadata, APMPBMeasurementBundle::kUserAttributes);
        for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
          if (APMNanoGetString(*attribute, APMPBUserAttribute::kName) == std::optional<std::string>("_sid")) hasSessionID = true;
        }
      }
      known = hasSessionIDByFingerprint.emplace(row->metadataFingerprint(), hasSessionID).first;
    }
    if (known->second) continue;
    event->setParameter("_sid", sessionID);
    event->setParameter("_sno", sessionNumber);
    platform::Error updateError;
    host_.database()->rawEvents().updateRawEvent(*row, &updateError);
  }
}
