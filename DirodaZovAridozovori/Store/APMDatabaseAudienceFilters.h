#pragma once
// The part of the measurement database that keeps the audience filters ("event_filters",
// "property_filters") and the audiences' results ("audience_filter_values"). The session-scoped,
// dynamic and sequence flags of a stored filter come from its decoded filter message (all NO when
// it does not decode).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "APMAudienceFilters.h"
#include "APMDatabaseConnection.h"

class APMDatabaseAudienceFilters {
 public:
  explicit APMDatabaseAudienceFilters(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  std::optional<std::vector<APMEventFilter>> eventFiltersForEventName(const std::string& eventName,
                                                                      platform::Error* error);
  std::optional<std::vector<APMPropertyFilter>> propertyFiltersForPropertyName(const std::string& propertyName,
                                                                               platform::Error* error);
  bool updateEventFilters(const std::vector<APMEventFilter>& filters, platform::Error* error);
  bool updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, platform::Error* error);
  bool deleteAllEventFilters(platform::Error* error);
  bool deleteAllPropertyFilters(platform::Error* error);
  // Grows with every change of the stored audience filters (a reset and a rolled-back change
  // included), so a reader may keep decoded filters while it stays the same.
  uint64_t audienceFiltersVersion() const { return audienceFiltersVersion_; }
  // The database emptied the tables.
  void noteReset() { ++audienceFiltersVersion_; }
  std::optional<std::set<int32_t>> allAudienceIDs(platform::Error* error);
  std::optional<std::map<int32_t, std::set<int32_t>>> allSessionScopedFilters(platform::Error* error);
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(int32_t audienceID, platform::Error* error);
  std::optional<std::map<int32_t, APMFilterResult>> allFilterResults(platform::Error* error);
  bool updateFilterResults(const std::vector<APMFilterResult>& results, platform::Error* error);
  bool deleteFilterResults(const std::vector<int32_t>& audienceIDs, platform::Error* error);

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  uint64_t audienceFiltersVersion_ = 0;  // worker queue only
};
