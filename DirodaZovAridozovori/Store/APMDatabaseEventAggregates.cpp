#include "APMDatabaseEventAggregates.h"

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMStoreLog.h"

using platform::Object;

namespace {

// The columns aggregatesFromRow reads in place, in this order.
constexpr const char* kAggregatesColumns =
    "name, lifetime_count, current_bundle_count, current_session_count, last_fire_timestamp, "
    "last_bundled_timestamp, last_bundled_day, last_sampling_rate, last_sampled_complex_event_id, "
    "last_exempt_from_sampling";

std::shared_ptr<APMEventAggregates> aggregatesFromRow(const APMSqliteRow& row) {
  auto aggregates =
      std::make_shared<APMEventAggregates>(row.text(0), row.integer(1), row.integer(2), row.integer(3), row.real(4));
  aggregates->setLastBundledTimestamp(row.real(5));
  aggregates->setLastBundledDay(static_cast<int32_t>(row.integer(6)));
  aggregates->setLastSamplingRate(row.integer(7));
  if (row.has(8)) aggregates->setLastSampledComplexEventID(row.integer(8));
  aggregates->setLastExemptFromSampling(row.integer(9) != 0);
  return aggregates;
}

}  // namespace

std::shared_ptr<APMEventAggregates> APMDatabaseEventAggregates::eventAggregatesWithName(const std::string& name,
                                                                                        platform::Error* error) {
  if (!connection_->checkQueue("eventAggregatesWithName", error)) return nullptr;
  // Read in place: bundling asks once per event name of every group.
  std::shared_ptr<APMEventAggregates> found;
  store_->forEachRowOfQuery(
      std::string("SELECT ") + kAggregatesColumns + " FROM events WHERE name = ?", {Object(name)},
      [&found](const APMSqliteRow& row) {
        found = aggregatesFromRow(row);
        return false;
      },
      error);
  return found;
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> APMDatabaseEventAggregates::allEventAggregates(
    platform::Error* error) {
  if (!connection_->checkQueue("allEventAggregates", error)) return std::nullopt;
  std::vector<std::shared_ptr<APMEventAggregates>> result;
  if (!store_->forEachRowOfQuery(
          std::string("SELECT ") + kAggregatesColumns + " FROM events ORDER BY name", {},
          [&result](const APMSqliteRow& row) {
            result.push_back(aggregatesFromRow(row));
            return true;
          },
          error)) {
    return std::nullopt;
  }
  return result;
}

bool APMDatabaseEventAggregates::updateEventAggregates(const APMEventAggregates& aggregates, platform::Error* error) {
  if (!connection_->checkQueue("updateEventAggregates", error)) return false;
  if (aggregates.name().empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event name");
  const auto& complexID = aggregates.lastSampledComplexEventID();
  // One fixed statement (the row replaced whole, as an upsert of every column), rather than one
  // built from a dictionary of the columns on each call.
  return connection_
      ->execute(std::string("INSERT OR REPLACE INTO events (") + kAggregatesColumns +
                    ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                {Object(aggregates.name()), Object(aggregates.lifetimeCount()), Object(aggregates.currentBundleCount()),
                 Object(aggregates.currentSessionCount()), Object(aggregates.lastFireTimestamp()),
                 Object(aggregates.lastBundledTimestamp()), Object(static_cast<int64_t>(aggregates.lastBundledDay())),
                 Object(aggregates.lastSamplingRate()), complexID ? Object(*complexID) : Object(),
                 Object(aggregates.lastExemptFromSampling() ? 1 : 0)},
                error)
      .has_value();
}

std::optional<int64_t> APMDatabaseEventAggregates::publicEventCount(platform::Error* error) {
  if (!connection_->checkQueue("publicEventCount", error)) return std::nullopt;
  return connection_->count("SELECT COUNT(*) AS count FROM events WHERE substr(name, 1, 1) <> '_'", {}, error);
}

bool APMDatabaseEventAggregates::clearCurrentSessionCounts(platform::Error* error) {
  if (!connection_->checkQueue("clearCurrentSessionCounts", error)) return false;
  return connection_->execute("UPDATE events SET current_session_count = 0", {}, error).has_value();
}

bool APMDatabaseEventAggregates::copyEventsTable(const char* from, const char* to, platform::Error* error) {
  return store_->transactions().performTransactionWithError(error, [&] {
    return connection_->execute(std::string("DELETE FROM ") + to, {}, error) &&
           connection_->execute(std::string("INSERT INTO ") + to + " SELECT * FROM " + from, {}, error);
  });
}

bool APMDatabaseEventAggregates::createEventsSnapshotTable(platform::Error* error) {
  if (!connection_->checkQueue("createEventsSnapshotTable", error)) return false;
  return copyEventsTable(apm_schema::kEvents, apm_schema::kEventsSnapshot, error);
}

bool APMDatabaseEventAggregates::restoreFromEventsSnapshotTable(platform::Error* error) {
  if (!connection_->checkQueue("restoreFromEventsSnapshotTable", error)) return false;
  return copyEventsTable(apm_schema::kEventsSnapshot, apm_schema::kEvents, error);
}
