#include "APMDatabaseConditionalProperties.h"

#include "APMDatabaseRows.h"
#include "APMEventEncoding.h"
#include "APMDatabaseSchema.h"
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

Object eventColumn(const std::shared_ptr<APMEvent>& event) { return event ? Object(APMEventEncoding::encoded(*event)) : Object(); }

// A stored event that no longer decodes is dropped (and logged) rather than failing the record:
// the property itself must still time out, expire and trigger.
std::shared_ptr<APMEvent> eventFromColumn(const APMSqliteStore::Record& row, const char* column) {
  if (!apm_rows::has(row, column)) return nullptr;
  auto event = APMEventEncoding::decode(apm_rows::data(row, column));
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

}  // namespace

bool APMDatabaseConditionalProperties::conditionalPropertiesKnownEmpty() {
  if (!store_->transactions().inTransaction()) return false;
  const uint64_t version = conditionalPropertiesWrites_ + store_->transactions().rollbackCount();
  const uint64_t transaction = store_->transactions().transactionSerial();
  auto& check = conditionalPropertiesCheck_;
  if (!check || check->transaction != transaction || check->version != version) {
    platform::Error ignored;
    auto any = connection_->exists("SELECT 1 FROM conditional_properties LIMIT 1", {}, &ignored);
    if (!any) return false;
    check = EmptyTableCheck{transaction, version, !*any};
  }
  return check->empty;
}

std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>
APMDatabaseConditionalProperties::conditionalUserProperties(const std::string& condition, const platform::Array& values,
                                                            platform::Error* error) {
  // The event road asks three questions of this table for every event, and it is mostly empty.
  if (conditionalPropertiesKnownEmpty()) return ConditionalUserProperties{};
  auto rows =
      connection_->query("SELECT * FROM conditional_properties WHERE " + condition + " ORDER BY name", values, error);
  if (!rows) return std::nullopt;
  ConditionalUserProperties properties;
  for (const auto& row : *rows) properties.push_back(conditionalUserPropertyFromRow(row));
  return properties;
}

std::shared_ptr<APMConditionalUserProperty> APMDatabaseConditionalProperties::conditionalUserPropertyWithName(
    const std::string& name, platform::Error* error) {
  if (!connection_->checkQueue("conditionalUserPropertyWithName", error)) return nullptr;
  auto properties = conditionalUserProperties("name = ?", {Object(name)}, error);
  if (!properties || properties->empty()) return nullptr;
  return properties->front();
}

bool APMDatabaseConditionalProperties::updateConditionalUserProperty(const APMConditionalUserProperty& property,
                                                                     platform::Error* error) {
  if (!connection_->checkQueue("updateConditionalUserProperty", error)) return false;
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

bool APMDatabaseConditionalProperties::deleteConditionalUserPropertyWithName(const std::string& name,
                                                                             platform::Error* error) {
  if (!connection_->checkQueue("deleteConditionalUserPropertyWithName", error)) return false;
  ++conditionalPropertiesWrites_;
  return store_->deleteRecordFromTableWithName(apm_schema::kConditionalProperties, "name", Object(name), error);
}

std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>
APMDatabaseConditionalProperties::timedOutConditionalUserPropertiesWithError(platform::Error* error) {
  if (!connection_->checkQueue("timedOutConditionalUserPropertiesWithError", error)) return std::nullopt;
  return conditionalUserProperties("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                   {Object(platform::now())}, error);
}

std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>
APMDatabaseConditionalProperties::expiredConditionalUserPropertiesWithError(platform::Error* error) {
  if (!connection_->checkQueue("expiredConditionalUserPropertiesWithError", error)) return std::nullopt;
  return conditionalUserProperties("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                   {Object(platform::now())}, error);
}

std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>
APMDatabaseConditionalProperties::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                                                  platform::Error* error) {
  if (!connection_->checkQueue("triggeredConditionalUserPropertiesWithEventName", error)) return std::nullopt;
  if (eventName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument,
            "Received nil/empty event name for querying triggered conditional user properties");
    return std::nullopt;
  }
  return conditionalUserProperties(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Object(eventName), Object(platform::now())}, error);
}

std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>
APMDatabaseConditionalProperties::conditionalUserPropertiesWithPrefix(const std::optional<std::string>& namePrefix,
                                                                      const std::optional<std::string>& origin,
                                                                      platform::Error* error) {
  if (!connection_->checkQueue("conditionalUserPropertiesWithPrefix", error)) return std::nullopt;
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
