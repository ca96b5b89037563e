// The road of one event on the worker queue, from the engine's hands to a stored raw-event row.
#include "APMEngineEventRoad.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "APMDatabase.h"
#include "APMEngineSessions.h"
#include "Upload/APMEngineUploadRoad.h"
#include "APMEventRoad.h"
#include "APMEventWriter.h"
#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"
#include "platform/Unicode.h"

namespace {

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

std::shared_ptr<APMPBOnDeviceMeasurementValue> onDeviceValue(APMDatabase& database, const char* name,
                                                             APMLogCode errorCode, const char* errorText) {
  platform::Error error;
  auto row = database.ODMValueWithName(name, &error);
  if (!row) {
    if (!error.empty()) APMLog(APMLogLevel::kWarningSampled, errorCode, errorText, error);
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

APMEngineEventRoad::APMEngineEventRoad(APMMeasurement& engine) : engine_(engine), writer_(*this) {}

APMEngineEventRoad::~APMEngineEventRoad() = default;

// MARK: - What the writer asks of the engine

const std::shared_ptr<APMDatabase>& APMEngineEventRoad::database() const { return engine_.database(); }
const std::shared_ptr<APMRemoteConfig>& APMEngineEventRoad::remoteConfig() const {
  return engine_.remoteConfigInstance();
}
const std::shared_ptr<APMIdentity>& APMEngineEventRoad::identity() const { return engine_.identity(); }
const std::shared_ptr<APMPersistedConfig>& APMEngineEventRoad::persistedConfig() const {
  return engine_.persistedConfig();
}
bool APMEngineEventRoad::isSessionExpired() { return engine_.sessions().isSessionExpiredOnWorkerQueue(); }
void APMEngineEventRoad::logInternalEvent(const std::string& origin, const std::string& name,
                                          const platform::Dictionary& parameters) {
  engine_.logInternalEvent(origin, name, parameters);
}
void APMEngineEventRoad::setLastAdvertisingIDResetUserProperty() {
  engine_.userProperties().setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
}
void APMEngineEventRoad::updateSchedule() { engine_.uploadRoad().updateSchedule(); }
const APMEngineComponentList& APMEngineEventRoad::engineComponents() const { return engine_.engineComponents(); }

// MARK: - Transactions and their side effects

void APMEngineEventRoad::afterCommit(std::function<void()> action) { writer_.afterCommit(std::move(action)); }

int32_t APMEngineEventRoad::currentDayNumber() const {
  return APMDayNumber(platform::now(), persistedConfig()->midnightOffset().value_or(0));
}

// MARK: - Entries

void APMEngineEventRoad::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("handleInternalEventOnWorkerQueue:") || !event) return;
  if (event->name() != "_err") {
    if (auto defaults = persistedConfig()->defaultEventParameters(); defaults && !defaults->empty()) {
      event->applyParameters(event->name() == "_cmp" ? APMParametersWithoutZadPrefix(*defaults) : *defaults, true);
    }
  }
  handleEventOnWorkerQueue(event);
  auto hooks = APMAnalyticsHooksSnapshot();
  if (APMAnalyticsHooksHaveEventListeners(*hooks)) {
    afterCommit([notify = hooks->notifyEventListeners, event] { notify(event); });
  }
}

void APMEngineEventRoad::handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!engine_.checkWorkerQueue("handleEventOnWorkerQueue:") || !event) return;
  // Without the components (a failed start) there is nowhere to write: the road is a no-op.
  if (!engine_.isEnabled() || !database() || !remoteConfig()) {
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
    updateSchedule();
  }
}

void APMEngineEventRoad::handleSubscriptionEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  // Everything the road writes for this event is one event with the recorded de-duplication ID: if
  // the event's row is rolled back, a resend must not look like a duplicate.
  writer_.writeEvent([&] {
    if (!dedupeSubscriptionEvent(*event)) return true;
    continueRoadOnWorkerQueue(event);
    return !writer_.nestedEventRolledBack();
  });
}

void APMEngineEventRoad::continueRoadOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithZoredodeFeatureRollouts(event);
  writeSessionStartEventOnWorkerQueue(*event);

  auto host = writer_.settings().eventEditing;
  std::optional<APMEventEditingOutcome> editing;
  if (host) {
    for (const auto& component : engineComponents()) {
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

std::shared_ptr<APMEvent> APMEngineEventRoad::eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) const {
  if (engine_.safelistedEvents().empty()) return event;
  if (std::find(engine_.safelistedEvents().begin(), engine_.safelistedEvents().end(), event->name()) != engine_.safelistedEvents().end()) {
    auto copy = event->copy();
    copy->setParameter("da_safelisted", APMValue(static_cast<int64_t>(1)));
    return copy;
  }
  APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kEventDropped,
         "Event dropped. Reason: not in allowlist. Event name, origin", event->name(), event->origin());
  return nullptr;
}

void APMEngineEventRoad::processSessionFromEvent(const APMEvent& event) {
  if (APMAnalyticsHooksIsAppActive()) return;
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
    for (const auto& removal : kRemovals) result.push_back(database()->userAttributeVersion(removal.name));
    return result;
  };
  auto* group = writer_.group();
  if (group && group->caches().sessionPropertiesRemovedAt == versions()) return;
  platform::Error ignored;
  const bool removed = database()->performTransaction(
      [&] {
        for (const auto& removal : kRemovals) {
          platform::Error error;
          if (!database()->deleteUserAttributeWithName(removal.name, &error)) {
            APMLog(APMLogLevel::kErrorSampledOnly, removal.code, removal.text, error);
            return false;
          }
        }
        return true;
      },
      &ignored);
  if (removed && group) group->caches().sessionPropertiesRemovedAt = versions();
}

bool APMEngineEventRoad::dedupeSubscriptionEvent(const APMEvent& event) {
  if (!APMIsSubscriptionEvent(event)) return true;
  const APMValue* deduplicationID = event.parameter("_did");
  if (!deduplicationID || !deduplicationID->isInt64()) return true;
  // -1 stands for "no de-duplication ID": such events are never duplicates.
  if (deduplicationID->int64Value() == -1) return true;
  const APMValue* product = event.parameter("product_id");
  const std::string productID = product ? product->description() : std::string();
  platform::Error error;
  auto isNew = database()->insertIfNotDuplicateSubscriptionID(std::to_string(deduplicationID->int64Value()), &error);
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
  auto deleted = database()->deleteSubscriptionsOverLimit(&deleteError);
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

bool APMEngineEventRoad::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
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

std::shared_ptr<APMEvent> APMEngineEventRoad::appExceptionEventWithZoredodeFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  if (event->name() != "_ae") return event;
  auto stored = writer_.rolloutsText();
  if (!stored) return event;
  auto copy = event->copy();
  copy->setParameter("_ffr", APMValue(*stored));
  return copy;
}

void APMEngineEventRoad::writeSessionStartEventOnWorkerQueue(const APMEvent& event) {
  if (!engine_.checkWorkerQueue("writeSessionStartEventOnWorkerQueue:") || event.name() != "_s") return;
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

void APMEngineEventRoad::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("writeEventOnWorkerQueue:") || !event) return;
  auto monitor = log();
  if (monitor->isLoggableLevel(APMLogLevel::kDebug)) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kLoggingEvent, "Logging event: origin, name, params",
           event->origin(), event->name(), APMDescribeParameters(event->parameters()));
  }
  std::vector<std::shared_ptr<APMEvent>> after;
  for (const auto& component : engineComponents()) {
    auto companions = component->eventWillBeWritten(*event);
    if (!companions) {
      APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kUnableProcessConditionalUserProperty,
             "Unable to process conditional user property. Event name, origin", event->name(), event->origin());
      continue;
    }
    for (const auto& before : companions->before) {
      if (before) writeFilteredEventOnWorkerQueue(before);
    }
    after.insert(after.end(), companions->after.begin(), companions->after.end());
  }
  writeFilteredEventOnWorkerQueue(event);
  for (const auto& next : after) {
    if (next) writeFilteredEventOnWorkerQueue(next);
  }
}

void APMEngineEventRoad::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!engine_.checkWorkerQueue("writeFilteredEventOnWorkerQueue:") || !event || !database()) return;
  writer_.writeFilteredEvent(event);
}

std::shared_ptr<APMPBMeasurementBundle> APMEngineEventRoad::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kPlatform, std::string("macos"));
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
  if (identity()) {
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppId, identity()->appID());
    if (!identity()->isFromAppStore()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallSource, std::string("manual_install"));
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppVersion, identity()->appVersion());
    if (auto serviceAppID = identity()->appIDFromDMP(); serviceAppID && !serviceAppID->empty()) {
      APMNanoSetString(*bundle, APMPBMeasurementBundle::kServiceAppId, *serviceAppID);
    }
  }
  APMNanoSetInt64(*bundle, APMPBMeasurementBundle::kLibraryVersion, APMIdentity::zovAridozovoriLibraryVersion());
  if (identity()) {
    if (auto installationID = identity()->zoredodeInstallationID()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallationId, *installationID);
    auto token = identity()->sessionStitchingTokenWithSessionNumber(
        persistedConfig()->sessionNumber(), engine_.sessions().isSessionExpiredOnWorkerQueue(), engine_.userProperties().hasUserPropertyUserIDOnWorkerQueue());
    if (token && !token->empty()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kSessionStitchingToken, *token);
    if (auto major = identity()->appVersionMajor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMajor, *major);
    if (auto minor = identity()->appVersionMinor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMinor, *minor);
    if (auto release = identity()->appVersionRelease()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionRelease, *release);
  }
  const bool filled = std::any_of(engineComponents().begin(), engineComponents().end(), [&bundle](const auto& component) {
    return component->fillIdentifierAndConsentFields(*bundle);
  });
  if (!filled) engine_.uploadRoad().addIdentifierAndConsentFieldsToMetadata(*bundle);
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
    if (!hasNPA && database()) {
      platform::Error error;
      if (auto npa = database()->userAttributeWithName("_npa", &error)) messages.push_back(npa->protoUserAttribute());
    }
    APMNanoSetRepeatedField(*bundle, APMPBMeasurementBundle::kUserAttributes, messages);
  }

  if (auto buffer = persistedConfig()->adCampaignInfoBuffer(); buffer && !buffer->empty()) {
    auto info = APMPBAdCampaignInfo::fromBuffer(*buffer);
    if (info) APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kAdCampaignInfo, info);
  }
  if (database()) {
    auto odm1 = onDeviceValue(*database(), "odm1_value", APMMeasurementLogCode::kFailedQueryODMValue,
                              "Failed to query ODM value. Error");
    auto odm1Session =
        onDeviceValue(*database(), "odm1_session_value", APMMeasurementLogCode::kFailedQueryODMSessionValue,
                      "Failed to query ODM session value. Error");
    auto odm2 = onDeviceValue(*database(), "odm2_value", APMMeasurementLogCode::kFailedQueryODM2Value,
                              "Failed to query ODM value. Error");
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
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kLinkedClientFlags, linkedClients);
  for (const auto& component : engineComponents()) component->addMetadataFields(*bundle);
  return bundle;
}

void APMEngineEventRoad::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig()->setUnmatchedFirstOpenWithoutIDFA(false);
  int64_t previous = std::strtoll(engine_.previousFirstOpenCount().c_str(), nullptr, 10);
  platform::Dictionary parameters{{"_pfo", std::max<int64_t>(previous, 1) - 1}};
  int64_t updatedWithAnalytics = 0;
  if (database()) {
    platform::Error error;
    auto firstOpenAfterInstall = database()->userAttributeWithName("_fi", &error);
    if (firstOpenAfterInstall && firstOpenAfterInstall->value().int64Value() < 1) updatedWithAnalytics = 1;
  }
  parameters["_uwa"] = updatedWithAnalytics;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  submit("APMMeasurement:1056", [this, weakEngine, timestamp, parameters] {
    auto engine = weakEngine.lock();
    if (!engine) return;
    auto event = APMEvent::create("auto", false, "_fx", timestamp, 0, parameters);
    if (!event) return;
    event->setRealtime(true);
    writeEventOnWorkerQueue(event);
  });
}

// MARK: - Session ID backfill

double APMEngineEventRoad::backfillStartTimestampForSessionID(const APMValue& sessionID,
                                                          const std::vector<std::shared_ptr<APMRawEventData>>& rows) {
  for (const auto& row : rows) {
    if (row->rawEvent() && row->rawEvent()->name() == "_f") return row->rawEvent()->timestamp();
  }
  const double seconds = sessionID.isInt64() ? static_cast<double>(sessionID.int64Value()) : sessionID.doubleValue();
  return seconds - 15.0;
}

void APMEngineEventRoad::backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber) {
  if (!database()) return;
  platform::Error error;
  auto rows = database()->allRawEventsWithError(&error);
  if (!rows) return;
  const double start = backfillStartTimestampForSessionID(sessionID, *rows);
  std::map<int64_t, bool> hasSessionIDByFingerprint;
  for (const auto& row : *rows) {
    const auto& event = row->rawEvent();
    if (!event || event->timestamp() < start) continue;
    auto known = hasSessionIDByFingerprint.find(row->metadataFingerprint());
    if (known == hasSessionIDByFingerprint.end()) {
      platform::Error metadataError;
      auto metadata = database()->queryRawEventsMetadataWithFingerprint(row->metadataFingerprint(), &metadataError);
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
    database()->updateRawEvent(*row, &updateError);
  }
}
