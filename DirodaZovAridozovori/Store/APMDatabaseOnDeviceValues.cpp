#include "APMDatabaseOnDeviceValues.h"

#include "APMDatabaseSchema.h"
#include "APMStoreLog.h"

using platform::Object;

std::optional<platform::Dictionary> APMDatabaseOnDeviceValues::ODMValueWithName(const std::string& name,
                                                                                platform::Error* error) {
  if (!connection_->checkQueue("ODMValueWithName", error)) return std::nullopt;
  if (name.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for query");
    return std::nullopt;
  }
  auto rows = connection_->query("SELECT value, set_timestamp FROM odm_values WHERE name = ?", {Object(name)}, error);
  if (!rows) return std::nullopt;
  platform::Dictionary result;
  if (rows->empty()) return result;
  for (const char* column : {"value", "set_timestamp"}) {
    if (const Object* value = platform::find(rows->front(), column)) result.emplace(column, *value);
  }
  return result;
}

bool APMDatabaseOnDeviceValues::updateODMValue(const std::string& value, const std::string& name, double setTimestamp,
                                               platform::Error* error) {
  if (!connection_->checkQueue("updateODMValue", error)) return false;
  connection_->noteMetadataSourcesWrite();
  ++onDeviceValueWrites_;
  if (value.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty ODM value for update");
  if (name.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for update");
  return store_->upsertRecord(
      {{"name", Object(name)}, {"value", Object(value)}, {"set_timestamp", Object(setTimestamp)}},
      apm_schema::kODMValues, error);
}

bool APMDatabaseOnDeviceValues::deleteODMValueWithName(const std::string& name, platform::Error* error) {
  if (!connection_->checkQueue("deleteODMValueWithName", error)) return false;
  connection_->noteMetadataSourcesWrite();
  ++onDeviceValueWrites_;
  if (name.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received ODM value with empty name for delete");
  return store_->deleteRecordFromTableWithName(apm_schema::kODMValues, "name", Object(name), error);
}
