#include "APMEDatabase.h"

#include "APMEMonitor.h"
#include "APMError.h"
#include "APMFileUtilities.h"
#include "APMNanoAccessors.h"
#include "APMStoreLog.h"
#include "platform/Clock.h"

using platform::Object;

namespace {

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";

// Never destroyed: the experiment worker may still be opening its database while the process ends.
const APMSqliteStore::ColumnInfo& snapshotColumns() {
  static const auto* columns = new APMSqliteStore::ColumnInfo{
      {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
      {kSnapshotColumn, "BLOB NOT NULL"},
      {kTimestampColumn, "REAL NOT NULL"},
      {kManuallyActivatedColumn, "INTEGER"},
  };
  return *columns;
}

// The snapshot message of a row; nullptr when the column is missing or does not decode.
std::shared_ptr<APMPBSnapshot> messageOfRow(const APMSqliteStore::Record& row) {
  const Object* bytes = platform::find(row, kSnapshotColumn);
  if (!bytes || !bytes->isData()) return nullptr;
  return APMPBSnapshot::fromBuffer(bytes->dataValue());
}

std::shared_ptr<APMESnapshot> snapshotOfRow(const APMSqliteStore::Record& row) {
  auto message = messageOfRow(row);
  if (!message) return nullptr;
  auto snapshot = APMESnapshot::fromProto(*message);
  if (!snapshot) return nullptr;
  if (const Object* timestamp = platform::find(row, kTimestampColumn)) snapshot->setTimestamp(timestamp->doubleValue());
  const Object* manual = platform::find(row, kManuallyActivatedColumn);
  if (manual && manual->isNumber()) snapshot->setManuallyActivated(manual->boolValue());
  return snapshot;
}

std::string textOfRow(const APMSqliteStore::Record& row, const char* column) {
  const Object* value = platform::find(row, column);
  return value && value->isString() ? value->stringValue() : std::string();
}

}  // namespace

std::shared_ptr<APMEDatabase> APMEDatabase::create(const std::string& path) {
  if (path.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotInitializeDatabaseInvalidPath,
           "Cannot initialize the database with invalid path", path);
    return nullptr;
  }
  auto database = std::make_shared<APMEDatabase>(path);
  if (!database->initializeDatabaseResources("Init")) return nullptr;
  return database;
}

std::shared_ptr<APMSqliteStore> APMEDatabase::openStore(const std::string& context) {
  platform::Error error;
  // The experiment database may be the first file of the storage directory.
  if (!APMCreateStorageDirectory(&error)) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFailedOpenDatabase,
           APMEMonitor::format("Failed to open database (%@)", context), error);
    return nullptr;
  }
  auto store = APMSqliteStore::create(path_, &error);
  if (store) return store;
  APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFailedOpenDatabase,
         APMEMonitor::format("Failed to open database (%@)", context), error);
  if (error.code != kAPMStoreErrorCorruptData) return nullptr;
  // The file holds nothing the service cannot send again: a corrupt one is replaced rather than
  // keeping experiments off for good.
  deleteFiles();
  error = {};
  store = APMSqliteStore::create(path_, &error);
  if (!store)
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFailedOpenDatabase,
           APMEMonitor::format("Failed to open database (%@)", context), error);
  return store;
}

void APMEDatabase::deleteFiles() {
  for (const char* suffix : {"-wal", "-shm"}) {
    platform::Error ignored;
    APMDeleteFile(path_ + suffix, &ignored);
  }
  platform::Error error;
  if (!APMDeleteFile(path_, &error)) {
    APMLog(APMLogLevel::kWarningSampled, APMELogCode::kOldDatabaseNotDeleted,
           APMEMonitor::format("Failed to delete old database file after failed validation. Error (%@)",
                               error.description));
  }
}

bool APMEDatabase::initializeDatabaseResources(const std::string& context) {
  store_ = openStore(context);
  if (!store_) return false;
  if (ensureAllTables()) return true;
  APMLog(APMLogLevel::kErrorSampled, APMELogCode::kTablesNotValidated,
         APMEMonitor::format("Failed to create or validate required database tables (%@)", context));
  store_->close();
  store_.reset();
  deleteFiles();
  return false;
}

bool APMEDatabase::ensureAllTables() {
  if (!store_) return false;
  for (const char* table : {kPendingTable, kActivatedTable, kLaunchedTable}) {
    platform::Error error;
    if (!store_->ensureTableWithName(table, snapshotColumns(), {}, {}, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFailedEnsureTable, "Failed to ensure table. Table, error", table,
             error);
      return false;
    }
  }
  return true;
}

bool APMEDatabase::closeAndDelete() {
  if (!store_) return true;
  auto store = std::move(store_);
  if (store->closeAndDeleteDatabase()) return true;
  APMLog(APMLogLevel::kWarningSampled, APMELogCode::kFailedDeleteDatabaseData, "Failed to delete database data");
  return false;
}

bool APMEDatabase::reset() {
  closeAndDelete();
  if (initializeDatabaseResources("Reset")) return true;
  APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotReInitializeDatabase, "Cannot re-initialize the database");
  return false;
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  platform::Error error;
  if (store_ && store_->transactions().performTransactionWithError(&error, block)) return true;
  if (!store_) closedError(&error);
  APMLog(APMLogLevel::kErrorSampled, APMELogCode::kTransactionFailed,
         APMEMonitor::format("Transaction failed. %@", error.description));
  return false;
}

bool APMEDatabase::closedError(platform::Error* error) const {
  return APMFail(error, kAPMStoreErrorClosed, "Experiment database is closed");
}

// MARK: - Reading

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllActivatedSnapshots(platform::Error* error) {
  return fetchAllSnapshots(kActivatedTable, error);
}
std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllPendingSnapshots(platform::Error* error) {
  return fetchAllSnapshots(kPendingTable, error);
}
std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllLaunchedSnapshots(platform::Error* error) {
  return fetchAllSnapshots(kLaunchedTable, error);
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllSnapshots(const std::string& table,
                                                                       platform::Error* error) {
  if (!store_) {
    closedError(error);
    return std::nullopt;
  }
  auto rows = store_->allDataTypesFromTableWithName(table, kTableLimit, error);
  if (!rows) return std::nullopt;
  Snapshots snapshots;
  snapshots.reserve(rows->size());
  for (const auto& row : *rows) {
    auto snapshot = snapshotOfRow(row);
    if (!snapshot) {
      APMSetError(error, 2, "Received an invalid snapshot from database");
      return std::nullopt;
    }
    snapshots.push_back(std::move(snapshot));
  }
  return snapshots;
}

// MARK: - Writing

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& message, const std::string& table, double timestamp,
                                  std::optional<bool> manuallyActivated, platform::Error* error) {
  if (!store_) return closedError(error);
  APMSqliteStore::Record record = {
      {kSDKNameColumn, Object(APMNanoGetString(message, APMPBSnapshot::kSdkName).value_or(""))},
      {kTimestampColumn, Object(timestamp)},
      {kSnapshotColumn, Object(message.protoBuffer())},
  };
  if (manuallyActivated) record[kManuallyActivatedColumn] = Object(static_cast<int64_t>(*manuallyActivated));
  return store_->upsertRecord(record, table, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const Snapshots& snapshots, platform::Error* error) {
  for (const auto& snapshot : snapshots) {
    if (!snapshot) continue;
    if (!upsertSnapshot(*snapshot->proto(), kPendingTable, snapshot->timestamp(), snapshot->manuallyActivated(),
                        error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                                    platform::Error* error) {
  if (!snapshot) {
    APMSetError(error, 1, "Received nil pending snapshot");
    return false;
  }
  std::shared_ptr<APMEExperiment> launched;
  std::vector<std::shared_ptr<APMEExperiment>> activated;
  for (const auto& [id, experiment] : snapshot->experimentsByExperimentID()) {
    if (id == 0) {
      launched = experiment;
    } else {
      activated.push_back(experiment);
    }
  }
  if (launched) {
    auto part = APMESnapshot::create(snapshot->SDKName(), {launched});
    if (!part || !upsertSnapshot(*part->proto(), kLaunchedTable, timestamp, std::nullopt, error)) return false;
  }
  // Written even when empty: the manager's memory then holds an empty activated snapshot, and the
  // file must not bring the previous experiments back at the next start.
  auto part = APMESnapshot::create(snapshot->SDKName(), activated);
  if (!part || !upsertSnapshot(*part->proto(), kActivatedTable, timestamp, std::nullopt, error)) return false;
  if (!store_) return closedError(error);
  const std::string condition = APMSqliteStore::quoteIdentifier(kSDKNameColumn) + " = ? AND " +
                                APMSqliteStore::quoteIdentifier(kTimestampColumn) + " <= ?";
  return store_->deleteRecordsFromTableWithName(kPendingTable, condition, {Object(snapshot->SDKName()), Object(timestamp)},
                                                error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(platform::Error* error) {
  if (!store_) return closedError(error);
  auto rows = store_->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid", {Object(true)},
      error);
  if (!rows) return false;
  for (const auto& row : *rows) {
    const std::string SDKName = textOfRow(row, kSDKNameColumn);
    auto snapshot = snapshotOfRow(row);
    if (!snapshot) {
      // One unreadable row must not keep every other SDK's snapshot from activating.
      APMLog(APMLogLevel::kWarningSampled, APMELogCode::kDeletedPendingSnapshotCannotRead,
             "Deleted a pending snapshot that cannot be read. SDK name", SDKName);
      if (!deletePendingExperimentsOfSDKName(SDKName, error)) return false;
      continue;
    }
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!deletePendingExperimentsOfSDKName(SDKName, error)) return false;
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(platform::Error* error) {
  if (!store_) return closedError(error);
  const std::string condition = APMSqliteStore::quoteIdentifier(kTimestampColumn) + " <= ?";
  return store_->deleteRecordsFromTableWithName(kActivatedTable, condition, {Object(platform::now() - kStaleInterval)},
                                                error)
      .has_value();
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& SDKName, platform::Error* error) {
  if (SDKName.empty()) {
    APMSetError(error, 1, "Received empty SDK Name");
    return false;
  }
  return deleteExperimentsOfSDKName(SDKName, kActivatedTable, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& SDKName, platform::Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kPendingTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& SDKName, platform::Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kLaunchedTable, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table,
                                              platform::Error* error) {
  if (!store_) return closedError(error);
  return store_->deleteRecordFromTableWithName(table, kSDKNameColumn, Object(SDKName), error);
}
