#include "APMEventWriter.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "APMDatabase.h"
#include "APMEventRoad.h"
#include "APMEngineComponent.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStoreLog.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Unicode.h"

namespace {

constexpr size_t kMaxErrorTextLength = 40;
constexpr int64_t kMaxPreviousFirstOpenCount = INT64_MAX;

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

}  // namespace

APMEventWriter::APMEventWriter(APMEventWriterHost& host) : host_(host) {}

APMEventWriter::~APMEventWriter() {
  // The connection must not call back into a writer that is gone.
  if (keptOpen_) keptOpen_->database().connection().setBeforeNextOperation(nullptr);
}

// MARK: - Groups

APMEventGroup::Settings APMEventWriter::readSettings() const {
  APMRemoteConfig& config = *host_.remoteConfig();
  APMEventGroup::Settings settings;
  settings.maxEventsPerDay = config.eventLimits().maxEventsPerDay();
  settings.maxErrorEventsPerDay = config.eventLimits().maxErrorEventsPerDay();
  settings.maxPublicEventsPerDay = config.eventLimits().maxPublicEventsPerDay();
  settings.maxRealtimeEventCountPerDay = config.eventLimits().maxRealtimeEventCountPerDay();
  settings.maxRealtimeDCUEventCountPerDay = config.eventLimits().maxRealtimeDCUEventCountPerDay();
  settings.maxEventNameCardinality = config.eventLimits().maxEventNameCardinality();
  settings.blocklistInternal = config.features().blocklistInternal();
  settings.blocklistPublic = config.features().blocklistPublic();
  settings.day = host_.currentDayNumber();
  const auto monitor = log();
  settings.debugMode = monitor->isDebugModeEnabled();
  settings.debugLines = monitor->isLoggableLevel(APMLogLevel::kDebug);
  settings.defaultEventParameters = host_.persistedConfig()->defaultEventParameters();
  settings.eventEditing = config.programs().eventEditing();
  return settings;
}

const APMEventGroup::Settings& APMEventWriter::settings() {
  if (group_) return group_->settings();
  adHocSettings_ = readSettings();
  return *adHocSettings_;
}

bool APMEventWriter::logsDebugLines() const {
  return group_ ? group_->settings().debugLines : log()->isLoggableLevel(APMLogLevel::kDebug);
}

APMEventWriter::GroupResult APMEventWriter::writeGroup(const std::function<void()>& body, platform::Error* error,
                                                       const std::function<bool()>& keepOpen) {
  if (group_) {
    body();
    return GroupResult::Committed;
  }
  APMEventGroup::Settings settings = readSettings();
  const auto& identity = host_.identity();
  if (identity) identity->updateIdentifiers();
  std::unique_ptr<APMEventGroup> group = std::move(keptOpen_);
  if (group) {
    group->database().connection().setBeforeNextOperation(nullptr);
    group->continueWith(std::move(settings));
  } else {
    group = std::make_unique<APMEventGroup>(*host_.database(), std::move(settings));
    if (!group->isOpen()) {
      platform::setError(error, group->beginError());
      return GroupResult::NotBegun;
    }
  }
  if (identity) {
    group->caches().identityRefreshed = true;
    group->caches().shouldSetLastAdvertisingIDReset = identity->shouldSetLastAdvertisingIDResetUserProperty();
  }
  group_ = group.get();
  try {
    body();
  } catch (const std::exception& exception) {
    group_ = nullptr;
    APMFail(error, kAPMStoreErrorInvalidArgument, std::string("Transaction block threw: ") + exception.what());
    return GroupResult::Failed;
  }
  group_ = nullptr;
  if (keepOpen && keepOpen()) {
    keptOpen_ = std::move(group);
    keptOpen_->database().connection().setBeforeNextOperation([this] { commitKeptOpenGroup(); });
    return GroupResult::KeptOpen;
  }
  return commitGroup(*group, error);
}

bool APMEventWriter::commitKeptOpenGroup() {
  std::unique_ptr<APMEventGroup> group = std::move(keptOpen_);
  if (!group) return true;
  group->database().connection().setBeforeNextOperation(nullptr);
  platform::Error error;
  if (commitGroup(*group, &error) == GroupResult::Committed) return true;
  APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventNotRecorded,
         "Data loss. Cannot record raw event. Error", error);
  return false;
}

APMEventWriter::GroupResult APMEventWriter::commitGroup(APMEventGroup& group, platform::Error* error) {
  // The actions run once the group is closed, so whatever they write goes its own way.
  const bool committed =
      group.commit([this, &group] { return storeMetadataRows(group) && flushDailyCounts(group); }, error);
  if (group.scheduleUpdateRequested()) host_.updateSchedule();
  return committed ? GroupResult::Committed : GroupResult::Failed;
}

bool APMEventWriter::writeEvent(const std::function<bool()>& write) {
  if (group_) return group_->writeEvent(write);
  if (!host_.database()) return false;
  APMEventGroup group(*host_.database(), readSettings());
  if (!group.isOpen()) return false;
  group_ = &group;
  adHocGroup_ = true;
  bool kept = group.writeEvent(write);
  group_ = nullptr;
  adHocGroup_ = false;
  platform::Error error;
  if (!group.commit([this, &group] { return storeMetadataRows(group); }, &error)) kept = false;
  if (group.scheduleUpdateRequested()) host_.updateSchedule();
  return kept;
}

bool APMEventWriter::storeMetadataRows(APMEventGroup& group) {
  for (const auto& [fingerprint, encoded] : group.keptMetadataRows()) {
    platform::Error error;
    if (!group.database().rawEvents().insertIfNotExistsRawEventMetadata(encoded, fingerprint, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kEventMetadataNotRecorded,
             "Data loss. Cannot record event metadata. Error", error);
      return false;
    }
  }
  return true;
}

const platform::Data* APMEventWriter::metadataWaitingForCommit(int64_t fingerprint) const {
  return group_ ? group_->metadataRow(fingerprint) : nullptr;
}

bool APMEventWriter::flushDailyCounts(APMEventGroup& group) {
  const auto counts = group.changedDailyCounts();
  if (!counts) return true;
  platform::Error error;
  if (group.database().appMetadata().updateDailyCounts(*counts, &error)) return true;
  APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kDailyCountsNotUpdated,
         "Data loss. Unable to update daily event counts. Name, error", std::string(), error);
  return false;
}

void APMEventWriter::afterCommit(std::function<void()> action) {
  if (group_) {
    group_->afterCommit(std::move(action));
    return;
  }
  action();
}

std::pair<bool, bool> APMEventWriter::nameRules(const std::string& eventName) {
  auto lookUp = [&] {
    APMRemoteConfig& config = *host_.remoteConfig();
    return std::make_pair(config.eventRules().isEventBlocklisted(eventName), config.eventRules().isEventCustomConversion(eventName));
  };
  if (!group_) return lookUp();
  auto& rules = group_->caches().nameRules;
  auto found = rules.find(eventName);
  if (found == rules.end()) found = rules.emplace(eventName, lookUp()).first;
  return found->second;
}

std::optional<std::string> APMEventWriter::rolloutsText() const {
  if (group_) {
    if (auto text = group_->rolloutsText()) return *text;
  }
  return host_.persistedConfig()->zoredodeFeatureRollouts();
}

// MARK: - The filtered write

void APMEventWriter::writeFilteredEvent(const std::shared_ptr<APMEvent>& event) {
  const std::string& name = event->name();
  const auto [blocked, customConversion] = nameRules(name);
  if (blocked) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMMeasurementLogCode::kEventRejected, "Rejected event. Event name", name);
    const APMEventGroup::Settings& current = settings();
    if (!current.blocklistInternal && !current.blocklistPublic && name != "_err") {
      host_.logInternalEvent("auto", "_err",
                               {{"_err", static_cast<int64_t>(11)},
                                {"_ev", platform::truncateToCharacters(name, kMaxErrorTextLength)}});
    }
    return;
  }
  // Inside a group the identity was refreshed once when the group began.
  const auto& identity = host_.identity();
  if (identity && !(group_ && group_->caches().identityRefreshed)) identity->updateIdentifiers();
  const bool namedConversion = APMIsConversionEventName(name);
  if (namedConversion) event->setConversion(true);
  // Its own flag decides only when neither the name nor the configuration makes it a conversion.
  const bool conversion = namedConversion || customConversion;
  // Two pointers fit in the function's own room: no allocation per event.
  struct Write {
    APMEvent& event;
    bool conversion;
  } write{*event, conversion};
  if (!writeEvent([this, &write] { return writeFilteredEventInGroup(write.event, write.conversion); })) {
    ++rolledBackWrites_;
  }
}

bool APMEventWriter::writeFilteredEventInGroup(APMEvent& event, bool conversion) {
  APMDatabase& database = group_->database();
  if (!updateLifetimeValueWithEvent(event)) return false;
  const bool isPublic = APMIsPublicName(event.name());
  // A group of its own reads and stores the counts with its one event.
  std::optional<APMDailyCounts> counts = adHocGroup_ ? std::nullopt : group_->dailyCounts();
  if (!counts) {
    platform::Error error;
    counts = database.appMetadata().dailyCounts(&error);
    if (!counts) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kDailyCountsQueryFailed,
             "Data loss. Unable to query daily event counts. Error", error);
      return false;
    }
  }
  const bool process = shouldProcessEvent(event, *counts, isPublic);
  const bool realtime = isRealtimeEvent(event, *counts, conversion);
  if (adHocGroup_) {
    platform::Error updateError;
    if (!database.appMetadata().updateDailyCounts(*counts, &updateError)) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kDailyCountsNotUpdated,
             "Data loss. Unable to update daily event counts. Name, error", event.name(), updateError);
      return false;
    }
  } else {
    group_->setDailyCounts(*counts);  // stored once, when the group commits
  }
  if (!process) return true;
  return writeEventRow(event, isPublic, realtime);
}

bool APMEventWriter::updateLifetimeValueWithEvent(const APMEvent& event) {
  const auto& components = host_.engineComponentsActingAt(APMEngineEventMoment::kEventWillBeStored);
  const bool recorded = std::all_of(components.begin(), components.end(), [&](const auto& component) {
    return component->eventWillBeStored(group_->database(), event);
  });
  if (recorded) return true;
  const APMValue* currency = event.parameter("currency");
  const APMValue* value = event.parameter("value");
  APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotRecordLifetimeValueEvent,
         "Cannot record lifetime value of event. Name, currency code, transaction value", event.name(),
         currency ? currency->description() : std::string(), value ? value->description() : std::string());
  return false;
}

bool APMEventWriter::shouldProcessEvent(const APMEvent& event, APMDailyCounts& dailyCounts, bool isPublicEvent) {
  using Refusal = APMDailyLimitDecision::Refusal;
  const APMEventGroup::Settings& current = settings();
  const APMDailyLimits limits{current.maxEventsPerDay, current.maxErrorEventsPerDay, current.maxPublicEventsPerDay};
  const auto decision = APMApplyDailyLimits(event, isPublicEvent, current.day, limits, dailyCounts);
  switch (decision.refusal) {
    case Refusal::None:
      break;
    case Refusal::AllEvents:
      if (decision.shouldLog) {
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kTooManyEventsLogged,
               "Data loss. Too many events logged. Name, limit", event.name(), decision.limit);
      }
      break;
    case Refusal::ErrorEvents:
      if (decision.shouldLog) {
        const APMValue* code = event.parameter("_err");
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kTooManyErrorEventsLogged,
               "Too many error events logged. Error code, limit", code ? code->int64Value() : 0, decision.limit);
      }
      break;
    case Refusal::PublicEvents:
      if (decision.shouldLog) {
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kTooManyPublicEventsLogged,
               "Data loss. Too many public events logged. Name, limit", event.name(), decision.limit);
      }
      host_.logInternalEvent("auto", "_err", {{"_err", static_cast<int64_t>(16)}});
      break;
  }
  return decision.accept;
}

bool APMEventWriter::isRealtimeEvent(APMEvent& event, APMDailyCounts& dailyCounts, bool conversion) {
  const APMEventGroup::Settings& current = settings();
  const int64_t limit = current.maxRealtimeEventCountPerDay;
  const int64_t dcuLimit = current.maxRealtimeDCUEventCountPerDay;
  const bool subjectToLimit = APMIsSubjectToRealtimeLimit(event.name(), current.debugMode);
  bool wanted = false;
  if (conversion || event.isConversion()) {
    wanted = dailyCounts.realtimeCount < limit || !subjectToLimit;
  }
  // The flag is a parameter: read once, and kept in step with every change made to it here.
  bool realtime = event.isRealtime();
  if (realtime && subjectToLimit && dailyCounts.realtimeCount >= limit) {
    event.setRealtime(false);
    realtime = false;
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kTooManyRealTimeEvents,
           "Too many real-time events. Event is no longer real-time. Event name, parameters", event.name(),
           APMDescribeParameters(event.parameters()));
  }
  if (realtime && APMIsDCUEvent(event.name(), current.debugMode) && dailyCounts.dcuRealtimeCount >= dcuLimit) {
    event.setRealtime(false);
    realtime = false;
  }
  if (current.debugMode) {
    markDebugAndRealtime(event);
    realtime = true;
  }
  return wanted || realtime;
}

void APMEventWriter::markDebugAndRealtime(APMEvent& event) {
  event.setRealtime(true);
  event.setDebug(true);
  APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kEventMarkedDebug,
         "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters", event.name(),
         APMDescribeParameters(event.parameters()));
}

// MARK: - The row

bool APMEventWriter::ensureAggregateRow(const std::string& name, bool isPublicEvent) {
  APMDatabase& database = group_->database();
  platform::Error error;
  if (database.eventAggregates().eventAggregatesWithName(name, &error)) return true;
  if (!error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotQueryEventAggregates,
           "Cannot query event aggregates. Name, error", name, error);
    return false;
  }
  if (isPublicEvent) {
    platform::Error countError;
    auto count = database.eventAggregates().publicEventCount(&countError);
    if (!count) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotQueryEventCount,
             "Cannot query event count. Error", countError);
      return false;
    }
    if (*count >= settings().maxEventNameCardinality) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotSetEvent,
             "Cannot set event. Reached limit on set events. Name", name);
      host_.logInternalEvent("auto", "_err",
                               {{"_err", static_cast<int64_t>(8)},
                                {"_ev", platform::truncateToCharacters(name, kMaxErrorTextLength)}});
      return false;
    }
  }
  platform::Error updateError;
  if (!database.eventAggregates().updateEventAggregates(APMEventAggregates(name, 0, 0, 0, 0), &updateError)) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kEventAggregatesNotRecorded,
           "Data loss. Cannot record event aggregates. Error", updateError);
    return false;
  }
  return true;
}

// Built again only when what it is read from may have changed since it was built in this group;
// the encoded form and fingerprint are what the row needs. Only the user properties are encoded
// anew each time; the other fields are read and encoded once for the group (see fixedMetadata).
const APMEventGroup::Caches::Metadata* APMEventWriter::metadata() {
  APMDatabase& database = group_->database();
  auto& cache = group_->caches().metadata;
  const uint64_t version = database.metadataSourcesVersion();
  if (cache && cache->sourcesVersion == version) return &*cache;
  platform::Error error;
  auto attributes = database.userProperties().userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUserPropertiesQueryFailed,
           "Data loss. Cannot query user properties. Error", error);
    return nullptr;
  }
  APMEventGroup::Caches::Metadata built;
  built.sourcesVersion = version;
  if (const auto* fixed = fixedMetadata(*attributes)) {
    built.hasResettableDeviceID = fixed->hasResettableDeviceID;
    built.encoded = metadataEncoder_.encode(*attributes);
  } else {
    auto bundle = host_.createRawEventMetadataWithUserAttributes(*attributes);
    built.hasResettableDeviceID = APMNanoHasField(*bundle, APMPBMeasurementBundle::kResettableDeviceId);
    built.encoded = bundle->protoBuffer();
  }
  built.fingerprint = metadataEncoder_.fingerprint(built.encoded);
  cache = std::move(built);
  return &*cache;
}

const APMEventGroup::Caches::FixedMetadata* APMEventWriter::fixedMetadata(
    const std::vector<std::shared_ptr<APMUserAttribute>>& attributes) {
  APMEventGroup::Caches::FixedMetadata key;
  key.onDeviceValues = group_->database().onDeviceValues().onDeviceValuesVersion();
  key.sessionNumber = host_.persistedConfig()->session().sessionNumber();
  key.sessionExpired = host_.isSessionExpired();
  key.userIDAvailable = std::any_of(attributes.begin(), attributes.end(),
                                    [](const auto& attribute) { return attribute && attribute->name() == "_id"; });
  auto& fixed = group_->caches().fixedMetadata;
  if (fixed && metadataEncoder_.hasFixedPart()) {
    key.hasResettableDeviceID = fixed->hasResettableDeviceID;
    if (*fixed == key) return &*fixed;
  }
  fixed.reset();
  auto bundle = host_.createRawEventMetadataWithUserAttributes({});
  if (!metadataEncoder_.setFixedPart(*bundle, APMPBMeasurementBundle::kUserAttributes)) return nullptr;
  key.hasResettableDeviceID = APMNanoHasField(*bundle, APMPBMeasurementBundle::kResettableDeviceId);
  fixed = key;
  return &*fixed;
}

bool APMEventWriter::checkStoredEventsLimit() {
  APMDatabase& database = group_->database();
  auto& room = group_->caches().rawEventRoom;
  platform::Error error;
  if (!room) room = database.rawEvents().rawEventsRoomBelowAbsoluteLimit(&error);
  if (room && *room >= 0) {
    --*room;
    return true;
  }
  room.reset();
  auto deleted = database.rawEvents().deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventLimitCheckFailed,
           "Data loss. Unable to check raw event storage limit. Error", error);
    return false;
  }
  if (*deleted != 0)
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kTooManyEventsStored,
           "Data loss. Too many events stored on disk. Deleted count", *deleted);
  return true;
}

bool APMEventWriter::writeEventRow(APMEvent& event, bool isPublicEvent, bool isRealtime) {
  APMDatabase& database = group_->database();
  const std::string& name = event.name();
  if (!group_->hasAggregateRow(name)) {
    if (!ensureAggregateRow(name, isPublicEvent)) return false;
    group_->noteAggregateRow(name);
  }
  auto& caches = group_->caches();
  const auto& identity = host_.identity();
  const bool wantsAdvertisingReset = caches.identityRefreshed
                                         ? caches.shouldSetLastAdvertisingIDReset
                                         : (identity && identity->shouldSetLastAdvertisingIDResetUserProperty());
  if (wantsAdvertisingReset) {
    caches.shouldSetLastAdvertisingIDReset = false;
    host_.setLastAdvertisingIDResetUserProperty();
  }

  const APMEventGroup::Caches::Metadata* metadata = this->metadata();
  if (!metadata) return false;
  const auto& persistedConfig = host_.persistedConfig();
  if (metadata->hasResettableDeviceID && persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA()) {
    const double timestamp = event.timestamp();
    // The host outlives the group, whose actions run before it ends or never.
    afterCommit([&host = host_, timestamp] { host.logFirstOpenConsentedEvent(timestamp); });
  } else if (name == "_f" && !metadata->hasResettableDeviceID) {
    afterCommit([config = persistedConfig] { config->attribution().setUnmatchedFirstOpenWithoutIDFA(true); });
  }

  const int64_t fingerprint = metadata->fingerprint;
  if (!group_->metadataRow(fingerprint)) group_->addMetadataRow(fingerprint, metadata->encoded);
  if (!checkStoredEventsLimit()) return false;
  platform::Error insertError;
  if (!database.rawEvents().insertRawEvent(event, fingerprint, isRealtime, &insertError)) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kRawEventNotRecorded,
           "Data loss. Cannot record raw event. Error", insertError);
    return false;
  }
  if (name == "_ssr" && pendingRolloutsText_) {
    group_->noteRolloutsText(*pendingRolloutsText_);
    afterCommit([config = persistedConfig, text = *pendingRolloutsText_] { config->setZoredodeFeatureRollouts(text); });
    pendingRolloutsText_.reset();
  }
  if (name == "_f") {
    afterCommit([config = persistedConfig] {
      int64_t count = config->attribution().previousFirstOpenCount().value_or(0);
      if (count < 1) count = 0;
      if (count != kMaxPreviousFirstOpenCount) ++count;
      config->attribution().setPreviousFirstOpenCount(count);
    });
  }
  if (settings().debugLines) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kEventLogged, "Event logged. Event name, event params", name,
           APMDescribeParameters(event.parameters()));
  }
  return true;
}
