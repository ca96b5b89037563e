#pragma once
// The part of the measurement database that keeps the conditional user properties
// ("conditional_properties"), and what a transaction remembers of the table being empty.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMConditionalUserProperty.h"
#include "APMDatabaseConnection.h"

class APMDatabaseConditionalProperties {
 public:
  using ConditionalUserProperties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;

  explicit APMDatabaseConditionalProperties(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyWithName(const std::string& name,
                                                                              platform::Error* error);
  bool updateConditionalUserProperty(const APMConditionalUserProperty& property, platform::Error* error);
  bool deleteConditionalUserPropertyWithName(const std::string& name, platform::Error* error);
  std::optional<ConditionalUserProperties> timedOutConditionalUserPropertiesWithError(platform::Error* error);
  std::optional<ConditionalUserProperties> expiredConditionalUserPropertiesWithError(platform::Error* error);
  std::optional<ConditionalUserProperties> triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                                                           platform::Error* error);
  // Name prefix and origin matched literally ("%" and "_" in them match themselves); none or empty
  // matches everything.
  std::optional<ConditionalUserProperties> conditionalUserPropertiesWithPrefix(
      const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin, platform::Error* error);
  // The database emptied the table.
  void noteReset() { ++conditionalPropertiesWrites_; }

 private:
  // Inside an exclusive transaction: whether the table is known to hold no conditional user
  // property (checked once, then remembered until one is written here or something rolls back).
  bool conditionalPropertiesKnownEmpty();
  std::optional<ConditionalUserProperties> conditionalUserProperties(const std::string& condition,
                                                                     const platform::Array& values,
                                                                     platform::Error* error);

  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  uint64_t conditionalPropertiesWrites_ = 0;
  struct EmptyTableCheck {
    uint64_t transaction = 0;
    uint64_t version = 0;
    bool empty = false;
  };
  std::optional<EmptyTableCheck> conditionalPropertiesCheck_;
};
