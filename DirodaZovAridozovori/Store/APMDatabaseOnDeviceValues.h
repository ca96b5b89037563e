#pragma once
// The part of the measurement database that keeps the on-device measurement values
// ("odm_values"), and where they stand.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMDatabaseConnection.h"

class APMDatabaseOnDeviceValues {
 public:
  explicit APMDatabaseOnDeviceValues(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  // {"set_timestamp": seconds, "value": text}, empty when absent.
  std::optional<platform::Dictionary> ODMValueWithName(const std::string& name, platform::Error* error);
  bool updateODMValue(const std::string& value, const std::string& name, double setTimestamp, platform::Error* error);
  bool deleteODMValueWithName(const std::string& name, platform::Error* error);
  // Where the values together stand: it changes whenever one may have changed through this
  // connection (a write, a reset, any rollback).
  APMDatabaseVersion onDeviceValuesVersion() const {
    return APMDatabaseVersion{onDeviceValueWrites_ + resets_, store_->transactions().rollbackCount()};
  }
  // The database emptied the table.
  void noteReset() { ++resets_; }

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  uint64_t onDeviceValueWrites_ = 0;
  uint64_t resets_ = 0;
};
