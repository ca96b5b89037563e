// Audience filters and results, conditional user properties, on-device measurement values and the
// stored remote configuration.

#include "APMDatabase.h"
#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMStoreLog.h"
#include "platform/Clock.h"

using platform::Object;

namespace {

// LIKE patterns from caller text: "%", "_" and the escape character itself match literally.
std::string likeLiteral(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

Object eventColumn(const std::shared_ptr<APMEvent>& event) { return event ? Object(event->encoded()) : Object(); }

// A stored event that no longer decodes is dropped (and logged) rather than failing the record:
// the property itself must still time out, expire and trigger.
std::shared_ptr<APMEvent> eventFromColumn(const APMSqliteStore::Record& row, const char* column) {
  if (!apm_rows::has(row, column)) return nullptr;
  auto event = APMEvent::decode(apm_rows::data(row, column));
  if (!event) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUnreadableConditionalPropertyEventDropped,
           "Dropping unreadable event of conditional user property. Name, column",
           {Object(apm_rows::text(row, "name")), Object(column)});
  }
  return event;
}

std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyFromRow(const APMSqliteStore::Record& row) {
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->name = apm_rows::text(row, "name");
  property->origin = apm_rows::text(row, "origin");
  if (const Object* value = platform::find(row, "value")) {
    if (value->isString()) property->value = APMValue(value->stringValue());
    if (value->isInteger()) property->value = APMValue(value->integerValue());
    if (value->isDouble()) property->value = APMValue(value->doubleValue());
  }
  property->triggerEventName = apm_rows::text(row, "trigger_event_name");
  property->triggerTimeout = apm_rows::real(row, "trigger_timeout");
  property->timeToLive = apm_rows::real(row, "time_to_live");
  property->triggeredEvent = eventFromColumn(row, "triggered_event");
  property->timedOutEvent = eventFromColumn(row, "timed_out_event");
  property->expiredEvent = eventFromColumn(row, "expired_event");
  property->creationTimestamp = apm_rows::real(row, "creation_timestamp");
  property->active = apm_rows::integer(row, "active") != 0;
  property->triggeredTimestamp = apm_rows::real(row, "triggered_timestamp");
  return property;
}

struct FilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

template <class Message>
FilterFlags filterFlags(const platform::Data& data) {
  auto filter = Message::fromBuffer(data);
  if (!filter) return {};
  return {APMNanoGetBool(*filter, Message::kSessionScoped), APMNanoGetBool(*filter, Message::kDynamic),
          APMNanoGetBool(*filter, Message::kSequence)};
}

}  // namespace

std::optional<std::vector<APMEventFilter>> APMDatabase::eventFiltersForEventName(const std::string& eventName,
                                                                                 platform::Error* error) {
  if (!checkQueue("eventFiltersForEventName", error)) return std::nullopt;
  if (eventName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event name for getting event filters");
    return std::nullopt;
  }
  auto rows = query("SELECT * FROM event_filters WHERE event_name = ? ORDER BY audience_id, filter_id",
                    {Object(eventName)}, error);
  if (!rows) return std::nullopt;
  std::vector<APMEventFilter> filters;
  for (const auto& row : *rows) {
    platform::Data data = apm_rows::data(row, "data");
    const FilterFlags flags = filterFlags<APMPBEventFilter>(data);
    filters.emplace_back(static_cast<int32_t>(apm_rows::integer(row, "audience_id")),
                         static_cast<int32_t>(apm_rows::integer(row, "filter_id")), apm_rows::text(row, "event_name"),
                         std::move(data), flags.sessionScoped, flags.dynamic, flags.sequence);
  }
  return filters;
}

std::optional<std::vector<APMPropertyFilter>> APMDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, platform::Error* error) {
  if (!checkQueue("propertyFiltersForPropertyName", error)) return std::nullopt;
  if (propertyName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty property name for getting property filters");
    return std::nullopt;
  }
  auto rows = query("SELECT * FROM property_filters WHERE property_name = ? ORDER BY audience_id, filter_id",
                    {Object(propertyName)}, error);
  if (!rows) return std::nullopt;
  std::vector<APMPropertyFilter> filters;
  for (const auto& row : *rows) {
    platform::Data data = apm_rows::data(row, "data");
    const FilterFlags flags = filterFlags<APMPBPropertyFilter>(data);
    filters.emplace_back(static_cast<int32_t>(apm_rows::integer(row, "audience_id")),
                         static_cast<int32_t>(apm_rows::integer(row, "filter_id")),
                         apm_rows::text(row, "property_name"), std::move(data), flags.sessionScoped, flags.dynamic,
                         flags.sequence);
  }
  return filters;
}

bool APMDatabase::updateEventFilters(const std::vector<APMEventFilter>& filters, platform::Error* error) {
  if (!checkQueue("updateEventFilters", error)) return false;
  ++audienceFiltersVersion_;
  if (filters.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event filters to update");
  return store_->performTransactionWithError(error, [&] {
    for (const APMEventFilter& filter : filters) {
      if (!store_->upsertRecord({{"audience_id", Object(filter.audienceID())},
                                 {"filter_id", Object(filter.filterID())},
                                 {"event_name", Object(filter.eventName())},
                                 {"data", Object(filter.data())},
                                 {"session_scoped", Object(filter.isSessionScoped() ? 1 : 0)}},
                                apm_schema::kEventFilters, error)) {
        return false;
      }
    }
    return true;
  });
}

bool APMDatabase::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, platform::Error* error) {
  if (!checkQueue("updatePropertyFilters", error)) return false;
  ++audienceFiltersVersion_;
  if (filters.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty property filters to update");
  return store_->performTransactionWithError(error, [&] {
    for (const APMPropertyFilter& filter : filters) {
      if (!store_->upsertRecord({{"audience_id", Object(filter.audienceID())},
                                 {"filter_id", Object(filter.filterID())},
                                 {"property_name", Object(filter.propertyName())},
                                 {"data", Object(filter.data())},
                                 {"session_scoped", Object(filter.isSessionScoped() ? 1 : 0)}},
                                apm_schema::kPropertyFilters, error)) {
        return false;
      }
    }
    return true;
  });
}

bool APMDatabase::deleteAllEventFilters(platform::Error* error) {
  if (!checkQueue("deleteAllEventFilters", error)) return false;
  ++audienceFiltersVersion_;
  return execute("DELETE FROM event_filters", {}, error).has_value();
}

bool APMDatabase::deleteAllPropertyFilters(platform::Error* error) {
  if (!checkQueue("deleteAllPropertyFilters", error)) return false;
  ++audienceFiltersVersion_;
  return execute("DELETE FROM property_filters", {}, error).has_value();
}

std::optional<std::set<int32_t>> APMDatabase::allAudienceIDs(platform::Error* error) {
  if (!checkQueue("allAudienceIDs", error)) return std::nullopt;
  auto rows = query("SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
  if (!rows) return std::nullopt;
  std::set<int32_t> ids;
  for (const auto& row : *rows) {
    if (!apm_rows::has(row, "audience_id")) {
      APMFail(error, kAPMStoreErrorCorruptData, "Audience filter row without an audience ID");
      return std::nullopt;
    }
    ids.insert(static_cast<int32_t>(apm_rows::integer(row, "audience_id")));
  }
  return ids;
}

std::optional<std::map<int32_t, std::set<int32_t>>> APMDatabase::allSessionScopedFilters(platform::Error* error) {
  if (!checkQueue("allSessionScopedFilters", error)) return std::nullopt;
  auto rows = query(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT audience_id, filter_id "
      "FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, std::set<int32_t>> filters;
  for (const auto& row : *rows) {
    filters[static_cast<int32_t>(apm_rows::integer(row, "audience_id"))].insert(
        static_cast<int32_t>(apm_rows::integer(row, "filter_id")));
  }
  return filters;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(int32_t audienceID, platform::Error* error) {
  if (!checkQueue("filterResultForAudienceID", error)) return nullptr;
  auto rows = query("SELECT * FROM audience_filter_values WHERE audience_id = ?", {Object(audienceID)}, error);
  if (!rows || rows->empty()) return nullptr;
  const auto& row = rows->front();
  return std::make_shared<APMFilterResult>(audienceID, apm_rows::data(row, "current_results"),
                                           apm_rows::data(row, "previous_results"));
}

std::optional<std::map<int32_t, APMFilterResult>> APMDatabase::allFilterResults(platform::Error* error) {
  if (!checkQueue("allFilterResults", error)) return std::nullopt;
  auto rows = query("SELECT * FROM audience_filter_values ORDER BY audience_id", {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, APMFilterResult> results;
  for (const auto& row : *rows) {
    const auto audienceID = static_cast<int32_t>(apm_rows::integer(row, "audience_id"));
    results.emplace(audienceID, APMFilterResult(audienceID, apm_rows::data(row, "current_results"),
                                                apm_rows::data(row, "previous_results")));
  }
  return results;
}

bool APMDatabase::updateFilterResults(const std::vector<APMFilterResult>& results, platform::Error* error) {
  if (!checkQueue("updateFilterResults", error)) return false;
  return store_->performTransactionWithError(error, [&] {
    for (const APMFilterResult& result : results) {
      if (!store_->upsertRecord({{"audience_id", Object(result.audienceID())},
                                 {"current_results", Object(result.currentResults())},
                                 {"previous_results", Object(result.previousResults())}},
                                apm_schema::kAudienceFilterValues, error)) {
        return false;
      }
    }
    return true;
  });
}

bool APMDatabase::deleteFilterResults(const std::vector<int32_t>& audienceIDs, platform::Error* error) {
  if (!checkQueue("deleteFilterResults", error)) return false;
  return store_->performTransactionWithError(error, [&] {
    for (int32_t audienceID : audienceIDs) {
      if (!store_->deleteRecordFromTableWithName(apm_schema::kAudienceFilterValues, "audience_id", Object(audienceID),
                                                 error)) {
        return false;
      }
    }
    return true;
  });
}

// Conditional user properties.

bool APMDatabase::conditionalPropertiesKnownEmpty() {
  if (!store_->inTransaction()) return false;
  const uint64_t version = conditionalPropertiesWrites_ + store_->rollbackCount();
  const uint64_t transaction = store_->transactionSerial();
  auto& check = conditionalPropertiesCheck_;
  if (!check || check->transaction != transaction || check->version != version) {
    platform::Error ignored;
    auto any = exists("SELECT 1 FROM conditional_properties LIMIT 1", {}, &ignored);
    if (!any) return false;
    check = EmptyTableCheck{transaction, version, !*any};
  }
  return check->empty;
}

std::optional<APMDatabase::ConditionalUserProperties> APMDatabase::conditionalUserProperties(
    const std::string& condition, const platform::Array& values, platform::Error* error) {
  // The event road asks three questions of this table for every event, and it is mostly empty.
  if (conditionalPropertiesKnownEmpty()) return ConditionalUserProperties{};
  auto rows = query("SELECT * FROM conditional_properties WHERE " + condition + " ORDER BY name", values, error);
  if (!rows) return std::nullopt;
  ConditionalUserProperties properties;
  for (const auto& row : *rows) properties.push_back(conditionalUserPropertyFromRow(row));
  return properties;
}

std::shared_ptr<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                                         platform::Error* error) {
  if (!checkQueue("conditionalUserPropertyWithName", error)) return nullptr;
  auto properties = conditionalUserProperties("name = ?", {Object(name)}, error);
  if (!properties || properties->empty()) return nullptr;
  return properties->front();
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty& property, platform::Error* error) {
  if (!checkQueue("updateConditionalUserProperty", error)) return false;
  ++conditionalPropertiesWrites_;
  if (property.name.empty()) {
    return APMFail(error, kAPMStoreErrorInvalidArgument, "Received conditional user property with empty name");
  }
  if (property.value && property.value->isArray()) {
    return APMFail(error, kAPMStoreErrorInvalidArgument, "Conditional user property values cannot be arrays");
  }
  return store_->upsertRecord({{"name", Object(property.name)},
                               {"origin", Object(property.origin)},
                               {"value", property.value ? property.value->object() : Object()},
                               {"trigger_event_name", Object(property.triggerEventName)},
                               {"trigger_timeout", Object(property.triggerTimeout)},
                               {"time_to_live", Object(property.timeToLive)},
                               {"triggered_event", eventColumn(property.triggeredEvent)},
                               {"timed_out_event", eventColumn(property.timedOutEvent)},
                               {"expired_event", eventColumn(property.expiredEvent)},
                               {"creation_timestamp", Object(property.creationTimestamp)},
                               {"active", Object(property.active ? 1 : 0)},
                               {"triggered_timestamp", Object(property.triggeredTimestamp)}},
                              apm_schema::kConditionalProperties, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, platform::Error* error) {
  if (!checkQueue("deleteConditionalUserPropertyWithName", error)) return false;
  ++conditionalPropertiesWrites_;
  return store_->deleteRecordFromTableWithName(apm_schema::kConditionalProperties, "name", Object(name), error);
}

std::optional<APMDatabase::ConditionalUserProperties> APMDatabase::timedOutConditionalUserPropertiesWithError(
    platform::Error* error) {
  if (!checkQueue("timedOutConditionalUserPropertiesWithError", error)) return std::nullopt;
  return conditionalUserProperties("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                   {Object(platform::now())}, error);
}

std::optional<APMDatabase::ConditionalUserProperties> APMDatabase::expiredConditionalUserPropertiesWithError(
    platform::Error* error) {
  if (!checkQueue("expiredConditionalUserPropertiesWithError", error)) return std::nullopt;
  return conditionalUserProperties("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                   {Object(platform::now())}, error);
}

std::optional<APMDatabase::ConditionalUserProperties> APMDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, platform::Error* error) {
  if (!checkQueue("triggeredConditionalUserPropertiesWithEventName", error)) return std::nullopt;
  if (eventName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument,
            "Received nil/empty event name for querying triggered conditional user properties");
    return std::nullopt;
  }
  return conditionalUserProperties("active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
                                   {Object(eventName), Object(platform::now())}, error);
}

std::optional<APMDatabase::ConditionalUserProperties> APMDatabase::conditionalUserPropertiesWithPrefix(
    const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin, platform::Error* error) {
  if (!checkQueue("conditionalUserPropertiesWithPrefix", error)) return std::nullopt;
  std::string condition;
  platform::Array values;
  if (origin && !origin->empty()) {
    condition = "origin LIKE ? ESCAPE '\\'";
    values.push_back(Object(likeLiteral(*origin)));
  }
  if (namePrefix && !namePrefix->empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += "name LIKE ? || '%' ESCAPE '\\'";
    values.push_back(Object(likeLiteral(*namePrefix)));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserProperties(condition, values, error);
}

// On-device measurement values.

std::optional<platform::Dictionary> APMDatabase::ODMValueWithName(const std::string& name, platform::Error* error) {
  if (!checkQueue("ODMValueWithName", error)) return std::nullopt;
  if (name.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for query");
    return std::nullopt;
  }
  auto rows = query("SELECT value, set_timestamp FROM odm_values WHERE name = ?", {Object(name)}, error);
  if (!rows) return std::nullopt;
  platform::Dictionary result;
  if (rows->empty()) return result;
  for (const char* column : {"value", "set_timestamp"}) {
    if (const Object* value = platform::find(rows->front(), column)) result.emplace(column, *value);
  }
  return result;
}

bool APMDatabase::updateODMValue(const std::string& value, const std::string& name, double setTimestamp,
                                 platform::Error* error) {
  if (!checkQueue("updateODMValue", error)) return false;
  ++metadataSourcesWrites_;
  ++onDeviceValueWrites_;
  if (value.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty ODM value for update");
  if (name.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for update");
  return store_->upsertRecord({{"name", Object(name)}, {"value", Object(value)}, {"set_timestamp", Object(setTimestamp)}},
                              apm_schema::kODMValues, error);
}

bool APMDatabase::deleteODMValueWithName(const std::string& name, platform::Error* error) {
  if (!checkQueue("deleteODMValueWithName", error)) return false;
  ++metadataSourcesWrites_;
  ++onDeviceValueWrites_;
  if (name.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for delete");
  return store_->deleteRecordFromTableWithName(apm_schema::kODMValues, "name", Object(name), error);
}

// The stored remote configuration.

bool APMDatabase::updateRemoteConfig(const APMPBMeasurementConfig& config, platform::Error* error) {
  return updateRemoteConfig(config.protoBuffer(), error);
}

bool APMDatabase::updateRemoteConfig(const platform::Data& encodedConfig, platform::Error* error) {
  if (!checkQueue("updateRemoteConfig", error)) return false;
  return execute("UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = ? WHERE id = ?",
                 {Object(encodedConfig), Object(platform::now()), Object(apm_schema::kAppMetadataRowID)}, error)
      .has_value();
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabase::queryDecodedMeasurementConfigWithError(platform::Error* error) {
  auto data = queryMeasurementConfigWithError(error);
  if (!data) return nullptr;
  auto config = APMPBMeasurementConfig::fromBuffer(*data);
  if (!config) APMFail(error, kAPMStoreErrorCorruptData, "Remote config data is corrupted");
  return config;
}

std::optional<platform::Data> APMDatabase::queryMeasurementConfigWithError(platform::Error* error) {
  if (!checkQueue("queryMeasurementConfigWithError", error)) return std::nullopt;
  auto rows = query("SELECT remote_config_data FROM app_metadata WHERE id = ?", {Object(apm_schema::kAppMetadataRowID)},
                    error);
  if (!rows || rows->empty() || !apm_rows::has(rows->front(), "remote_config_data")) return std::nullopt;
  return apm_rows::data(rows->front(), "remote_config_data");
}

double APMDatabase::lastRemoteConfigUpdateTimestamp(platform::Error* error) {
  if (!checkQueue("lastRemoteConfigUpdateTimestamp", error)) return 0;
  auto rows = query("SELECT remote_config_timestamp FROM app_metadata WHERE id = ?",
                    {Object(apm_schema::kAppMetadataRowID)}, error);
  if (!rows || rows->empty()) return 0;
  return apm_rows::real(rows->front(), "remote_config_timestamp");
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error) {
  if (!checkQueue("updateRemoteConfigSuccessfulTimestamp", error)) return false;
  return execute("UPDATE app_metadata SET remote_config_timestamp = ? WHERE id = ?",
                 {Object(timestamp), Object(apm_schema::kAppMetadataRowID)}, error)
      .has_value();
}
