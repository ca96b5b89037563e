#include "APMDatabaseAudienceFilters.h"

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMStoreLog.h"

using platform::Object;

namespace {

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

std::optional<std::vector<APMEventFilter>> APMDatabaseAudienceFilters::eventFiltersForEventName(
    const std::string& eventName, platform::Error* error) {
  if (!connection_->checkQueue("eventFiltersForEventName", error)) return std::nullopt;
  if (eventName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event name for getting event filters");
    return std::nullopt;
  }
  auto rows = connection_->query("SELECT * FROM event_filters WHERE event_name = ? ORDER BY audience_id, filter_id",
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

std::optional<std::vector<APMPropertyFilter>> APMDatabaseAudienceFilters::propertyFiltersForPropertyName(
    const std::string& propertyName, platform::Error* error) {
  if (!connection_->checkQueue("propertyFiltersForPropertyName", error)) return std::nullopt;
  if (propertyName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty property name for getting property filters");
    return std::nullopt;
  }
  auto rows =
      connection_->query("SELECT * FROM property_filters WHERE property_name = ? ORDER BY audience_id, filter_id",
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

bool APMDatabaseAudienceFilters::updateEventFilters(const std::vector<APMEventFilter>& filters,
                                                    platform::Error* error) {
  if (!connection_->checkQueue("updateEventFilters", error)) return false;
  ++audienceFiltersVersion_;
  if (filters.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event filters to update");
  return store_->transactions().performTransactionWithError(error, [&] {
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

bool APMDatabaseAudienceFilters::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                                                       platform::Error* error) {
  if (!connection_->checkQueue("updatePropertyFilters", error)) return false;
  ++audienceFiltersVersion_;
  if (filters.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty property filters to update");
  return store_->transactions().performTransactionWithError(error, [&] {
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

bool APMDatabaseAudienceFilters::deleteAllEventFilters(platform::Error* error) {
  if (!connection_->checkQueue("deleteAllEventFilters", error)) return false;
  ++audienceFiltersVersion_;
  return connection_->execute("DELETE FROM event_filters", {}, error).has_value();
}

bool APMDatabaseAudienceFilters::deleteAllPropertyFilters(platform::Error* error) {
  if (!connection_->checkQueue("deleteAllPropertyFilters", error)) return false;
  ++audienceFiltersVersion_;
  return connection_->execute("DELETE FROM property_filters", {}, error).has_value();
}

std::optional<std::set<int32_t>> APMDatabaseAudienceFilters::allAudienceIDs(platform::Error* error) {
  if (!connection_->checkQueue("allAudienceIDs", error)) return std::nullopt;
  auto rows = connection_->query("SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters",
                                 {}, error);
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

std::optional<std::map<int32_t, std::set<int32_t>>> APMDatabaseAudienceFilters::allSessionScopedFilters(
    platform::Error* error) {
  if (!connection_->checkQueue("allSessionScopedFilters", error)) return std::nullopt;
  auto rows = connection_->query(
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

std::shared_ptr<APMFilterResult> APMDatabaseAudienceFilters::filterResultForAudienceID(int32_t audienceID,
                                                                                       platform::Error* error) {
  if (!connection_->checkQueue("filterResultForAudienceID", error)) return nullptr;
  auto rows =
      connection_->query("SELECT * FROM audience_filter_values WHERE audience_id = ?", {Object(audienceID)}, error);
  if (!rows || rows->empty()) return nullptr;
  const auto& row = rows->front();
  return std::make_shared<APMFilterResult>(audienceID, apm_rows::data(row, "current_results"),
                                           apm_rows::data(row, "previous_results"));
}

std::optional<std::map<int32_t, APMFilterResult>> APMDatabaseAudienceFilters::allFilterResults(platform::Error* error) {
  if (!connection_->checkQueue("allFilterResults", error)) return std::nullopt;
  auto rows = connection_->query("SELECT * FROM audience_filter_values ORDER BY audience_id", {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, APMFilterResult> results;
  for (const auto& row : *rows) {
    const auto audienceID = static_cast<int32_t>(apm_rows::integer(row, "audience_id"));
    results.emplace(audienceID, APMFilterResult(audienceID, apm_rows::data(row, "current_results"),
                                                apm_rows::data(row, "previous_results")));
  }
  return results;
}

bool APMDatabaseAudienceFilters::updateFilterResults(const std::vector<APMFilterResult>& results,
                                                     platform::Error* error) {
  if (!connection_->checkQueue("updateFilterResults", error)) return false;
  return store_->transactions().performTransactionWithError(error, [&] {
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

bool APMDatabaseAudienceFilters::deleteFilterResults(const std::vector<int32_t>& audienceIDs, platform::Error* error) {
  if (!connection_->checkQueue("deleteFilterResults", error)) return false;
  return store_->transactions().performTransactionWithError(error, [&] {
    for (int32_t audienceID : audienceIDs) {
      if (!store_->deleteRecordFromTableWithName(apm_schema::kAudienceFilterValues, "audience_id", Object(audienceID),
                                                 error)) {
        return false;
      }
    }
    return true;
  });
}
