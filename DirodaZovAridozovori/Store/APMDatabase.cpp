#include "APMDatabase.h"

#include <algorithm>
#include <cstdio>

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMFileUtilities.h"
#include "APMPersistedConfig.h"
#include "APMStoreLog.h"
#include "platform/Clock.h"

using platform::Object;

namespace {

// Moves a database that failed its integrity check (and its WAL and shared-memory files, which
// belong to it) out of the way, replacing any file set aside earlier.
void setAside(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string from = path + suffix;
    const std::string to = path + ".corrupt" + suffix;
    std::remove(to.c_str());
    std::rename(from.c_str(), to.c_str());
  }
}

// The columns aggregatesFromRow reads in place, in this order.
constexpr const char* kAggregatesColumns =
    "name, lifetime_count, current_bundle_count, current_session_count, last_fire_timestamp, "
    "last_bundled_timestamp, last_bundled_day, last_sampling_rate, last_sampled_complex_event_id, "
    "last_exempt_from_sampling";

std::shared_ptr<APMEventAggregates> aggregatesFromRow(const APMSqliteStore::Row& row) {
  auto aggregates = std::make_shared<APMEventAggregates>(row.text(0), row.integer(1), row.integer(2), row.integer(3),
                                                         row.real(4));
  aggregates->setLastBundledTimestamp(row.real(5));
  aggregates->setLastBundledDay(static_cast<int32_t>(row.integer(6)));
  aggregates->setLastSamplingRate(row.integer(7));
  if (row.has(8)) aggregates->setLastSampledComplexEventID(row.integer(8));
  aggregates->setLastExemptFromSampling(row.integer(9) != 0);
  return aggregates;
}

}  // namespace

APMDatabase::APMDatabase(std::shared_ptr<APMSqliteStore> store, std::shared_ptr<APMPersistedConfig> persistedConfig,
                         std::shared_ptr<platform::DispatchQueue> workerQueue)
    : connection_(std::make_shared<APMDatabaseConnection>(store, std::move(workerQueue))),
      store_(std::move(store)),
      persistedConfig_(std::move(persistedConfig)),
      audienceFilters_(connection_),
      conditionalProperties_(connection_),
      onDeviceValues_(connection_),
      storedConfig_(connection_) {
  APMSqliteStore::ScopeObserver observer;
  observer.willCommit = [this](platform::Error* error) { return writeWaitingUserAttributes(error); };
  observer.didEnd = [this](size_t depth, bool kept) { scopeEnded(depth, kept); };
  store_->setScopeObserver(std::move(observer));
}

APMDatabase::~APMDatabase() { store_->setScopeObserver({}); }

std::shared_ptr<APMDatabase> APMDatabase::create(const std::string& databaseName,
                                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                 std::shared_ptr<platform::DispatchQueue> workerQueue,
                                                 platform::Error* error) {
  if (databaseName.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty database name");
    return nullptr;
  }
  if (!APMCreateStorageDirectory(error)) return nullptr;
  const std::string path = APMApplicationSupportPath(databaseName);
  platform::Error openError;
  auto store = APMSqliteStore::create(path, &openError);
  if (!store && openError.code == kAPMStoreErrorCorruptData) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseFailedIntegrityCheck, "Database failed its integrity check. Setting it aside and starting anew. Path, error",
                {Object(path), openError});
    setAside(path);
    openError = {};
    store = APMSqliteStore::create(path, &openError);
  }
  if (!store) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseOpenFailed, "Unable to open database. Path, error", {Object(path), openError});
    platform::setError(error, openError);
    return nullptr;
  }
  if (!store->setCheckpointPolicy({kBurstCheckpointPages, kKeptWALBytes}, error)) return nullptr;
  // Savepoint journals stay in memory: once one outgrew 64 KiB, SQLite would write every later
  // event's savepoint pages into a temporary file.
  if (!store->executeStatement("PRAGMA temp_store=MEMORY", {}, error)) return nullptr;
  std::shared_ptr<APMDatabase> database(new APMDatabase(std::move(store), std::move(persistedConfig), std::move(workerQueue)));
  if (!database->ensureSchema(error)) return nullptr;
  return database;
}

bool APMDatabase::checkpointWhenQuiet() {
  if (!checkQueue("checkpointWhenQuiet", nullptr)) return false;
  return store_->checkpointIfWALHolds(kQuietCheckpointPages);
}

bool APMDatabase::ensureSchema(platform::Error* error) {
  return store_->performTransactionWithError(error, [&] {
    for (const APMTableDefinition& table : apm_schema::tables()) {
      if (!store_->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns, {}, error)) return false;
      for (const std::string& index : table.indexes) {
        if (!store_->executeStatement(index, {}, error)) return false;
      }
    }
    return store_
        ->executeStatement("INSERT OR IGNORE INTO app_metadata (id) VALUES (?)", {Object(apm_schema::kAppMetadataRowID)},
                           error)
        .has_value();
  });
}

const std::string& APMDatabase::databasePath() const { return store_->databasePath(); }

void APMDatabase::setLimitsProvider(std::function<APMDatabaseLimits()> provider) {
  connection_->setLimitsProvider(std::move(provider));
}

APMDatabaseLimits APMDatabase::limits() const { return connection_->limits(); }

bool APMDatabase::checkQueue(const char* operation, platform::Error* error) const {
  return connection_->checkQueue(operation, error);
}

std::optional<APMSqliteStore::Records> APMDatabase::query(const std::string& sql, const platform::Array& values,
                                                          platform::Error* error) {
  return connection_->query(sql, values, error);
}

std::optional<int64_t> APMDatabase::execute(const std::string& sql, const platform::Array& values,
                                            platform::Error* error) {
  return connection_->execute(sql, values, error);
}

std::optional<bool> APMDatabase::exists(const std::string& sql, const platform::Array& values, platform::Error* error) {
  return connection_->exists(sql, values, error);
}

std::optional<int64_t> APMDatabase::count(const std::string& sql, const platform::Array& values,
                                          platform::Error* error) {
  return connection_->count(sql, values, error);
}

double APMDatabase::latestTime(const std::string& sql, platform::Error* error) {
  return connection_->latestTime(sql, error);
}

bool APMDatabase::deleteRowIDs(const char* table, const std::vector<int64_t>& rowIDs, platform::Error* error) {
  return connection_->deleteRowIDs(table, rowIDs, error);
}

bool APMDatabase::performTransaction(const std::function<bool()>& block, platform::Error* error) {
  if (!checkQueue("performTransaction", error)) return false;
  return store_->performTransactionWithError(error, block);
}

bool APMDatabase::beginTransaction(platform::Error* error) {
  if (!checkQueue("beginTransaction", error)) return false;
  return store_->beginTransaction(error);
}

bool APMDatabase::endTransaction(bool keep, platform::Error* error) {
  if (!checkQueue("endTransaction", error)) return false;
  return store_->endTransaction(keep, error);
}

uint64_t APMDatabase::metadataSourcesVersion() const {
  return connection_->metadataSourcesWrites() + store_->rollbackCount();
}

bool APMDatabase::reset(platform::Error* error) {
  if (!checkQueue("reset", error)) return false;
  audienceFilters_.noteReset();
  connection_->noteMetadataSourcesWrite();
  conditionalProperties_.noteReset();
  onDeviceValues_.noteReset();
  forgetStoredUserAttributes();
  forgetRawEventFacts();
  return store_->performTransactionWithError(error, [&] {
    dropWaitingUserAttributes();
    for (const APMTableDefinition& table : apm_schema::tables()) {
      if (!execute("DELETE FROM " + APMSqliteStore::quoteIdentifier(table.name), {}, error)) return false;
    }
    return execute("INSERT OR IGNORE INTO app_metadata (id) VALUES (?)", {Object(apm_schema::kAppMetadataRowID)}, error)
        .has_value();
  });
}

std::optional<int64_t> APMDatabase::maybeDeleteStaleData(platform::Error* error) {
  if (!checkQueue("maybeDeleteStaleData", error)) return std::nullopt;
  const double oldest = platform::now() - limits().maxQueueTime;
  forgetRawEventFacts();
  int64_t deleted = 0;
  const bool ok = store_->performTransactionWithError(error, [&] {
    auto events = execute("DELETE FROM raw_events WHERE timestamp < ?", {Object(oldest)}, error);
    auto bundles = execute("DELETE FROM queue WHERE end_timestamp < ?", {Object(oldest)}, error);
    auto metadata = execute(
        "DELETE FROM raw_events_metadata WHERE metadata_fingerprint NOT IN "
        "(SELECT metadata_fingerprint FROM raw_events)",
        {}, error);
    if (!events || !bundles || !metadata) return false;
    deleted = *events + *bundles + *metadata;
    return true;
  });
  if (!ok) return std::nullopt;
  return deleted;
}

bool APMDatabase::closeAndDeleteDatabase() {
  forgetWaitingUserAttributes();
  return store_->closeAndDeleteDatabase();
}

void APMDatabase::close() {
  if (!checkQueue("close", nullptr)) return;
  forgetWaitingUserAttributes();
  store_->close();
}

// Event aggregates.

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesWithName(const std::string& name,
                                                                         platform::Error* error) {
  if (!checkQueue("eventAggregatesWithName", error)) return nullptr;
  // Read in place: bundling asks once per event name of every group.
  std::shared_ptr<APMEventAggregates> found;
  store_->forEachRowOfQuery(std::string("SELECT ") + kAggregatesColumns + " FROM events WHERE name = ?", {Object(name)},
                            [&found](const APMSqliteStore::Row& row) {
                              found = aggregatesFromRow(row);
                              return false;
                            },
                            error);
  return found;
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> APMDatabase::allEventAggregates(platform::Error* error) {
  if (!checkQueue("allEventAggregates", error)) return std::nullopt;
  std::vector<std::shared_ptr<APMEventAggregates>> result;
  if (!store_->forEachRowOfQuery(std::string("SELECT ") + kAggregatesColumns + " FROM events ORDER BY name", {},
                                 [&result](const APMSqliteStore::Row& row) {
                                   result.push_back(aggregatesFromRow(row));
                                   return true;
                                 },
                                 error)) {
    return std::nullopt;
  }
  return result;
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates& aggregates, platform::Error* error) {
  if (!checkQueue("updateEventAggregates", error)) return false;
  if (aggregates.name().empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty event name");
  const auto& complexID = aggregates.lastSampledComplexEventID();
  // One fixed statement (the row replaced whole, as an upsert of every column), rather than one
  // built from a dictionary of the columns on each call.
  return execute(std::string("INSERT OR REPLACE INTO events (") + kAggregatesColumns +
                     ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 {Object(aggregates.name()), Object(aggregates.lifetimeCount()), Object(aggregates.currentBundleCount()),
                  Object(aggregates.currentSessionCount()), Object(aggregates.lastFireTimestamp()),
                  Object(aggregates.lastBundledTimestamp()), Object(static_cast<int64_t>(aggregates.lastBundledDay())),
                  Object(aggregates.lastSamplingRate()), complexID ? Object(*complexID) : Object(),
                  Object(aggregates.lastExemptFromSampling() ? 1 : 0)},
                 error)
      .has_value();
}

std::optional<int64_t> APMDatabase::publicEventCount(platform::Error* error) {
  if (!checkQueue("publicEventCount", error)) return std::nullopt;
  return count("SELECT COUNT(*) AS count FROM events WHERE substr(name, 1, 1) <> '_'", {}, error);
}

bool APMDatabase::clearCurrentSessionCounts(platform::Error* error) {
  if (!checkQueue("clearCurrentSessionCounts", error)) return false;
  return execute("UPDATE events SET current_session_count = 0", {}, error).has_value();
}

bool APMDatabase::copyEventsTable(const char* from, const char* to, platform::Error* error) {
  return store_->performTransactionWithError(error, [&] {
    return execute(std::string("DELETE FROM ") + to, {}, error) &&
           execute(std::string("INSERT INTO ") + to + " SELECT * FROM " + from, {}, error);
  });
}

bool APMDatabase::createEventsSnapshotTable(platform::Error* error) {
  if (!checkQueue("createEventsSnapshotTable", error)) return false;
  return copyEventsTable(apm_schema::kEvents, apm_schema::kEventsSnapshot, error);
}

bool APMDatabase::restoreFromEventsSnapshotTable(platform::Error* error) {
  if (!checkQueue("restoreFromEventsSnapshotTable", error)) return false;
  return copyEventsTable(apm_schema::kEventsSnapshot, apm_schema::kEvents, error);
}

// Daily counts and app metadata.

std::optional<APMDailyCounts> APMDatabase::dailyCounts(platform::Error* error) {
  if (!checkQueue("dailyCounts", error)) return std::nullopt;
  // The counts' columns only, read in place: the row also holds the stored configuration.
  APMDailyCounts counts;
  const bool read = store_->forEachRowOfQuery(
      "SELECT day, conversions_count, all_events_count, public_events_count, error_events_count, realtime_count, "
      "dcu_realtime_count FROM app_metadata WHERE id = ?",
      {Object(apm_schema::kAppMetadataRowID)},
      [&counts](const APMSqliteStore::Row& row) {
        counts.day = static_cast<int32_t>(row.integer(0));
        counts.conversionsCount = static_cast<int32_t>(row.integer(1));
        counts.allEventsCount = static_cast<int32_t>(row.integer(2));
        counts.publicEventsCount = static_cast<int32_t>(row.integer(3));
        counts.errorEventsCount = static_cast<int32_t>(row.integer(4));
        counts.realtimeCount = static_cast<int32_t>(row.integer(5));
        counts.dcuRealtimeCount = static_cast<int32_t>(row.integer(6));
        return false;
      },
      error);
  if (!read) return std::nullopt;
  return counts;
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, platform::Error* error) {
  if (!checkQueue("updateDailyCounts", error)) return false;
  return execute(
             "UPDATE app_metadata SET day = ?, conversions_count = ?, all_events_count = ?, public_events_count = ?, "
             "error_events_count = ?, realtime_count = ?, dcu_realtime_count = ? WHERE id = ?",
             {Object(counts.day), Object(counts.conversionsCount), Object(counts.allEventsCount),
              Object(counts.publicEventsCount), Object(counts.errorEventsCount), Object(counts.realtimeCount),
              Object(counts.dcuRealtimeCount), Object(apm_schema::kAppMetadataRowID)},
             error)
      .has_value();
}

std::optional<APMAppMetadata> APMDatabase::queryAppMetadata(platform::Error* error) {
  if (!checkQueue("queryAppMetadata", error)) return std::nullopt;
  APMAppMetadata metadata;
  const bool read = store_->forEachRowOfQuery(
      "SELECT last_bundle_index, last_delivery_index, last_bundle_start_timestamp, last_bundle_end_timestamp "
      "FROM app_metadata WHERE id = ?",
      {Object(apm_schema::kAppMetadataRowID)},
      [&metadata](const APMSqliteStore::Row& row) {
        metadata.lastBundleIndex = row.integer(0);
        metadata.lastDeliveryIndex = row.integer(1);
        metadata.lastBundleStartTimestamp = row.real(2);
        metadata.lastBundleEndTimestamp = row.real(3);
        return false;
      },
      error);
  if (!read) return std::nullopt;
  return metadata;
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata& metadata, platform::Error* error) {
  if (!checkQueue("updateAppMetadata", error)) return false;
  return execute(
             "UPDATE app_metadata SET last_bundle_index = ?, last_delivery_index = ?, last_bundle_start_timestamp = ?, "
             "last_bundle_end_timestamp = ? WHERE id = ?",
             {Object(metadata.lastBundleIndex), Object(metadata.lastDeliveryIndex),
              Object(metadata.lastBundleStartTimestamp), Object(metadata.lastBundleEndTimestamp),
              Object(apm_schema::kAppMetadataRowID)},
             error)
      .has_value();
}
