#pragma once
// The measurement database: it opens the file, owns the one connection with its transactions and
// checkpoints, and hands out the parts that keep the tables (audience filters and results,
// conditional user properties, on-device measurement values, the stored remote configuration); it
// keeps the user properties, event aggregates, daily counts, raw events with their metadata and the
// upload queue itself.
//
// Queue-confined: every operation, the parts' included, runs on the worker queue the database was
// created for, and an operation called anywhere else fails (kAPMStoreErrorWrongQueue) without
// touching the file.
// Results: a failure returns false, none or an empty pointer AND fills the error; none or an empty
// pointer without an error means "nothing stored".
//
// Messages (raw-event metadata, bundles, the remote configuration, audience filters) are stored as
// their encoded bytes; each has a typed call and a bytes call.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "APMDatabaseAppMetadata.h"
#include "APMDatabaseAudienceFilters.h"
#include "APMDatabaseBundleQueue.h"
#include "APMDatabaseConditionalProperties.h"
#include "APMDatabaseConnection.h"
#include "APMDatabaseEventAggregates.h"
#include "APMDatabaseOnDeviceValues.h"
#include "APMDatabasePurchases.h"
#include "APMDatabaseRawEvents.h"
#include "APMDatabaseStoredConfig.h"
#include "APMEvent.h"
#include "APMSqliteStore.h"
#include "APMUserAttribute.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"

class APMPersistedConfig;
class APMPBMeasurementBundle;

class APMDatabase {
 public:
  static constexpr const char* kDatabaseName = "diroda-app-measurement.sql";
  // The WAL is copied back into the database when writes fall quiet (checkpointWhenQuiet) once it
  // holds this many pages, as SQLite itself would after every commit...
  static constexpr int64_t kQuietCheckpointPages = 1000;
  // ...and during a burst only once it holds this many (about 40 MB): a burst of events rewrites
  // the same pages of the metadata and the index over and over, and each checkpoint copies every
  // page it finds and syncs the file twice.
  static constexpr int64_t kBurstCheckpointPages = 10000;
  // The least a restart of the WAL leaves of its file (see APMSqliteStore::CheckpointPolicy).
  static constexpr int64_t kKeptWALBytes = 4 * 1024 * 1024;

  // Opens or creates the database in the storage directory. A file that fails the integrity check
  // is logged, set aside as "<name>.corrupt" and replaced by an empty database. workerQueue is the
  // queue every operation must run on.
  static std::shared_ptr<APMDatabase> create(const std::string& databaseName,
                                             std::shared_ptr<APMPersistedConfig> persistedConfig,
                                             std::shared_ptr<platform::DispatchQueue> workerQueue,
                                             platform::Error* error);
  ~APMDatabase();

  const std::string& databasePath() const;
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  void setLimitsProvider(std::function<APMDatabaseLimits()> provider);

  // Runs block in one exclusive transaction (a savepoint when already inside one); commits on true.
  bool performTransaction(const std::function<bool()>& block, platform::Error* error = nullptr);
  // The same as a scope the caller holds: each successful begin is ended exactly once, innermost
  // first; keep commits (releases) it, otherwise it is rolled back. End answers whether the changes
  // were kept.
  bool beginTransaction(platform::Error* error);
  bool endTransaction(bool keep, platform::Error* error);
  // The writes fell quiet (no more are waiting): copies the WAL back into the database when it
  // holds kQuietCheckpointPages or more. Whether a checkpoint ran.
  bool checkpointWhenQuiet();
  // Changes whenever what raw-event metadata is read from may have changed through this
  // connection: a write to the user properties or the on-device measurement values, a reset, or
  // any rollback. Inside one exclusive transaction no one else writes, so an unchanged version
  // there means unchanged rows.
  uint64_t metadataSourcesVersion() const;
  // Where the named user property stands: it changes whenever the property may have changed through
  // this connection (a write that changed its row, a reset, any rollback), so what was read or done
  // to it holds while this stays the same. A delete that found nothing changes nothing.
  using Version = APMDatabaseVersion;
  Version userAttributeVersion(const std::string& name) const;
  // Empties every table.
  bool reset(platform::Error* error);
  // Removes raw events and queued bundles older than the queue time, and metadata no raw event
  // uses; the number of rows removed.
  std::optional<int64_t> maybeDeleteStaleData(platform::Error* error);
  // Closes the connection and removes the file.
  bool closeAndDeleteDatabase();
  // Closes the connection, folding the write-ahead log into the file; later operations fail.
  void close();

  // User properties.
  std::shared_ptr<APMUserAttribute> userAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> userAttributesIncludingInternal(bool includingInternal,
                                                                                                 platform::Error* error);
  bool updateUserAttribute(const APMUserAttribute& attribute, platform::Error* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::Error* error);
  // For properties that change with nearly every event (the lifetime values): inside a transaction
  // the change waits in memory and is written once, as the outermost transaction commits. Every
  // user-property read here sees it meanwhile, a scope that rolls back takes its changes with it,
  // and a read that memory cannot answer (a count) writes what waits first. Outside a transaction
  // the change is written at once.
  bool updateUserAttributeAtCommit(const APMUserAttribute& attribute, platform::Error* error);
  bool deleteUserAttributeAtCommit(const std::string& name, platform::Error* error);
  std::optional<int64_t> publicUserAttributeCount(platform::Error* error);
  std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin, platform::Error* error);
  // Names beginning with "_ltv_", newest first (of two set at the same time, the one written first).
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> allLifetimeValueUserAttributes(platform::Error* error);

  // The parts that keep the other tables, on the same connection and worker queue.
  APMDatabaseRawEvents& rawEvents() { return rawEvents_; }
  APMDatabaseEventAggregates& eventAggregates() { return eventAggregates_; }
  APMDatabaseAppMetadata& appMetadata() { return appMetadata_; }
  APMDatabaseBundleQueue& bundleQueue() { return bundleQueue_; }
  APMDatabasePurchases& purchases() { return purchases_; }
  APMDatabaseAudienceFilters& audienceFilters() { return audienceFilters_; }
  APMDatabaseConditionalProperties& conditionalProperties() { return conditionalProperties_; }
  APMDatabaseOnDeviceValues& onDeviceValues() { return onDeviceValues_; }
  APMDatabaseStoredConfig& storedConfig() { return storedConfig_; }

 private:
  APMDatabase(std::shared_ptr<APMSqliteStore> store, std::shared_ptr<APMPersistedConfig> persistedConfig,
              std::shared_ptr<platform::DispatchQueue> workerQueue);
  bool ensureSchema(platform::Error* error);
  bool checkQueue(const char* operation, platform::Error* error) const;
  APMDatabaseLimits limits() const;
  std::optional<APMSqliteStore::Records> query(const std::string& sql, const platform::Array& values,
                                               platform::Error* error);
  std::optional<int64_t> execute(const std::string& sql, const platform::Array& values, platform::Error* error);
  std::optional<bool> exists(const std::string& sql, const platform::Array& values, platform::Error* error);
  std::optional<int64_t> count(const std::string& sql, const platform::Array& values, platform::Error* error);
  double latestTime(const std::string& sql, platform::Error* error);
  bool deleteRowIDs(const char* table, const std::vector<int64_t>& rowIDs, platform::Error* error);

  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  APMDatabaseRawEvents rawEvents_;
  APMDatabaseEventAggregates eventAggregates_;
  APMDatabaseAppMetadata appMetadata_;
  APMDatabaseBundleQueue bundleQueue_;
  APMDatabasePurchases purchases_;
  APMDatabaseAudienceFilters audienceFilters_;
  APMDatabaseConditionalProperties conditionalProperties_;
  APMDatabaseOnDeviceValues onDeviceValues_;
  APMDatabaseStoredConfig storedConfig_;
  // Per user property, the value of userAttributeWrites_ at its last change; a reset changes all.
  void noteUserAttributeWrite(const std::string& name);
  uint64_t userAttributeWrites_ = 0;
  uint64_t userAttributesResetAt_ = 0;
  std::unordered_map<std::string, uint64_t> userAttributeWrittenAt_;

  // The stored user properties by name, with their row IDs (which order properties set at the same
  // time). Inside a transaction they are read once and kept while nothing here writes the table
  // and nothing rolls back; outside one every read goes to the file.
  struct StoredUserAttribute {
    std::shared_ptr<APMUserAttribute> attribute;
    int64_t rowID = 0;
  };
  struct StoredUserAttributes {
    uint64_t transaction = 0;
    uint64_t writes = 0;
    uint64_t rollbacks = 0;
    std::vector<StoredUserAttribute> byName;
  };
  const std::vector<StoredUserAttribute>* storedUserAttributes(platform::Error* error);
  // The same when still kept, without reading; null otherwise.
  const std::vector<StoredUserAttribute>* keptUserAttributes() const;
  // The user properties as readers see them: the stored ones with the waiting changes applied.
  std::optional<std::vector<StoredUserAttribute>> currentUserAttributes(platform::Error* error);
  void noteStoredUserAttributeWrite(const std::string& name);
  void forgetStoredUserAttributes();
  std::optional<StoredUserAttributes> storedUserAttributes_;
  uint64_t storedUserAttributeWrites_ = 0;

  // The changes waiting for the commit, by name (an empty attribute: to be deleted), each with the
  // place of its change among the others; and, per open scope, what to put back should it roll back.
  struct WaitingUserAttribute {
    std::shared_ptr<APMUserAttribute> attribute;
    uint64_t order = 0;
  };
  struct WaitingUndo {
    size_t depth = 0;
    std::string name;
    std::optional<WaitingUserAttribute> previous;
  };
  bool waitUserAttribute(const std::string& name, std::shared_ptr<APMUserAttribute> attribute, platform::Error* error);
  void setWaitingUserAttribute(const std::string& name, std::optional<WaitingUserAttribute> waiting);
  // Writes what waits, in the order it changed; whether all of it was written.
  bool writeWaitingUserAttributes(platform::Error* error);
  void dropWaitingUserAttributes();
  void forgetWaitingUserAttributes();
  void scopeEnded(size_t depth, bool kept);
  bool writeUserAttributeRow(const APMUserAttribute& attribute, platform::Error* error);
  std::optional<int64_t> deleteUserAttributeRow(const std::string& name, platform::Error* error);
  std::map<std::string, WaitingUserAttribute> waitingUserAttributes_;
  std::vector<WaitingUndo> waitingUndo_;
  uint64_t waitingOrder_ = 0;
};
