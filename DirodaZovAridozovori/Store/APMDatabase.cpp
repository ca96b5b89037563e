#include "APMDatabase.h"

#include <algorithm>
#include <cstdio>

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMFileUtilities.h"
#include "APMPersistedConfig.h"
#include "APMRawEventMetadataLayout.h"
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

}  // namespace

APMDatabase::APMDatabase(std::shared_ptr<APMSqliteStore> store, std::shared_ptr<APMPersistedConfig> persistedConfig,
                         std::shared_ptr<platform::DispatchQueue> workerQueue)
    : connection_(std::make_shared<APMDatabaseConnection>(store, std::move(workerQueue))),
      store_(std::move(store)),
      persistedConfig_(std::move(persistedConfig)),
      userProperties_(connection_),
      rawEvents_(connection_),
      eventAggregates_(connection_),
      appMetadata_(connection_),
      bundleQueue_(connection_),
      purchases_(connection_),
      audienceFilters_(connection_),
      conditionalProperties_(connection_),
      onDeviceValues_(connection_),
      storedConfig_(connection_) {
  APMSqliteTransactions::ScopeObserver observer;
  observer.willCommit = [this](platform::Error* error) { return userProperties_.writeWaitingUserAttributes(error); };
  observer.didEnd = [this](size_t depth, bool kept) {
    userProperties_.scopeEnded(depth, kept);
    rawEvents_.scopeEnded(depth, kept);
  };
  store_->transactions().setScopeObserver(std::move(observer));
}

APMDatabase::~APMDatabase() { store_->transactions().setScopeObserver({}); }

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
  // Every part checks the worker queue before it touches the connection (and the close at exit
  // waits for that queue to stop), so the connection goes without SQLite's mutex: the event road
  // takes it a dozen times per stored event.
  constexpr auto kConfinement = APMSqliteStore::Confinement::kOneSerialQueue;
  auto store = APMSqliteStore::create(path, kConfinement, &openError);
  if (!store && openError.code == kAPMStoreErrorCorruptData) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseFailedIntegrityCheck, "Database failed its integrity check. Setting it aside and starting anew. Path, error",
                {Object(path), openError});
    setAside(path);
    openError = {};
    store = APMSqliteStore::create(path, kConfinement, &openError);
  }
  if (!store) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseOpenFailed, "Unable to open database. Path, error", {Object(path), openError});
    platform::setError(error, openError);
    return nullptr;
  }
  // On a thread of their own, so the worker goes on storing events while a burst's WAL is copied back.
  if (!store->checkpoints().setCheckpointPolicy(
          {APMDatabaseConnection::kBurstCheckpointPages, APMDatabaseConnection::kKeptWALBytes, true}, error)) {
    return nullptr;
  }
  // Savepoint journals stay in memory: once one outgrew 64 KiB, SQLite would write every later
  // event's savepoint pages into a temporary file.
  if (!store->executeStatement("PRAGMA temp_store=MEMORY", {}, error)) return nullptr;
  std::shared_ptr<APMDatabase> database(new APMDatabase(std::move(store), std::move(persistedConfig), std::move(workerQueue)));
  if (!database->ensureSchema(error)) return nullptr;
  return database;
}

bool APMDatabase::ensureSchema(platform::Error* error) {
  const bool ensured = store_->transactions().performTransactionWithError(error, [&] {
    for (const APMTableDefinition& table : apm_schema::tables()) {
      if (!store_->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns, {}, error)) return false;
      for (const std::string& index : table.indexes) {
        if (!store_->executeStatement(index, {}, error)) return false;
      }
    }
    for (const std::string& index : apm_schema::retiredIndexes()) {
      if (!store_->executeStatement("DROP INDEX IF EXISTS " + APMSqliteStore::quoteIdentifier(index), {}, error)) {
        return false;
      }
    }
    return store_
        ->executeStatement("INSERT OR IGNORE INTO app_metadata (id) VALUES (?)", {Object(apm_schema::kAppMetadataRowID)},
                           error)
        .has_value();
  });
  if (!ensured) return false;
  // A file of an earlier build works as it is: a move that fails costs nothing but its speed.
  platform::Error moveError;
  if (apm_metadata_layout::moveToRowIDs(*store_, apm_metadata_layout::kMostRowsMoved, &moveError) ==
      apm_metadata_layout::MoveOutcome::kFailed) {
    APMLog(APMLogLevel::kWarning, APMStoreLogCode::kRawEventMetadataNotMoved,
           "Raw event metadata keeps its earlier layout: moving it failed. Error", {moveError});
  }
  return true;
}

const std::string& APMDatabase::databasePath() const { return store_->databasePath(); }

void APMDatabase::setLimitsProvider(std::function<APMDatabaseLimits()> provider) {
  connection_->setLimitsProvider(std::move(provider));
}

bool APMDatabase::performTransaction(const std::function<bool()>& block, platform::Error* error) {
  if (!connection_->checkQueue("performTransaction", error)) return false;
  return store_->transactions().performTransactionWithError(error, block);
}

bool APMDatabase::beginTransaction(platform::Error* error) {
  if (!connection_->checkQueue("beginTransaction", error)) return false;
  return store_->transactions().beginTransaction(error);
}

bool APMDatabase::endTransaction(bool keep, platform::Error* error) {
  if (!connection_->checkQueue("endTransaction", error)) return false;
  return store_->transactions().endTransaction(keep, error);
}

uint64_t APMDatabase::metadataSourcesVersion() const {
  return connection_->metadataSourcesWrites() + store_->transactions().rollbackCount();
}

bool APMDatabase::reset(platform::Error* error) {
  if (!connection_->checkQueue("reset", error)) return false;
  audienceFilters_.noteReset();
  connection_->noteMetadataSourcesWrite();
  conditionalProperties_.noteReset();
  onDeviceValues_.noteReset();
  userProperties_.forgetStoredUserAttributes();
  rawEvents_.forgetRawEventFacts();
  const bool wiped = store_->transactions().performTransactionWithError(error, [&] {
    userProperties_.dropWaitingUserAttributes();
    for (const APMTableDefinition& table : apm_schema::tables()) {
      if (!connection_->execute("DELETE FROM " + APMSqliteStore::quoteIdentifier(table.name), {}, error)) return false;
    }
    return connection_
        ->execute("INSERT OR IGNORE INTO app_metadata (id) VALUES (?)", {Object(apm_schema::kAppMetadataRowID)}, error)
        .has_value();
  });
  if (wiped) bundleQueue_.noteRowsRemovedElsewhere();
  return wiped;
}

std::optional<int64_t> APMDatabase::maybeDeleteStaleData(platform::Error* error) {
  if (!connection_->checkQueue("maybeDeleteStaleData", error)) return std::nullopt;
  const double oldest = platform::now() - connection_->limits().maxQueueTime;
  rawEvents_.forgetRawEventFacts();
  int64_t deleted = 0;
  bool bundlesDeleted = false;
  const bool ok = store_->transactions().performTransactionWithError(error, [&] {
    auto events = connection_->execute("DELETE FROM raw_events WHERE timestamp < ?", {Object(oldest)}, error);
    auto bundles = connection_->execute("DELETE FROM queue WHERE end_timestamp < ?", {Object(oldest)}, error);
    auto metadata = connection_->execute(
        "DELETE FROM raw_events_metadata WHERE metadata_fingerprint NOT IN "
        "(SELECT metadata_fingerprint FROM raw_events)",
        {}, error);
    if (!events || !bundles || !metadata) return false;
    deleted = *events + *bundles + *metadata;
    bundlesDeleted = *bundles > 0;
    return true;
  });
  if (!ok) return std::nullopt;
  if (bundlesDeleted) bundleQueue_.noteRowsRemovedElsewhere();
  return deleted;
}

bool APMDatabase::closeAndDeleteDatabase() {
  if (!connection_->checkQueue("closeAndDeleteDatabase", nullptr)) return false;
  userProperties_.forgetWaitingUserAttributes();
  return store_->closeAndDeleteDatabase();
}

void APMDatabase::close() {
  if (!connection_->checkQueue("close", nullptr)) return;
  userProperties_.forgetWaitingUserAttributes();
  store_->close();
}
