#pragma once
// The measurement database: it opens the file, owns the one connection with its transactions and
// checkpoints, empties or trims every table, and hands out the parts that keep the tables (user
// properties, raw events with their metadata, event aggregates, the app metadata's counts, the
// upload queue, purchases seen, audience filters and results, conditional user properties,
// on-device measurement values, the stored remote configuration).
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
#include "APMDatabaseUserProperties.h"
#include "APMEvent.h"
#include "APMSqliteStore.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"

class APMPersistedConfig;

class APMDatabase {
 public:
  static constexpr const char* kDatabaseName = "diroda-app-measurement.sql";

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
  // Changes whenever what raw-event metadata is read from may have changed through this
  // connection: a write to the user properties or the on-device measurement values, a reset, or
  // any rollback. Inside one exclusive transaction no one else writes, so an unchanged version
  // there means unchanged rows.
  uint64_t metadataSourcesVersion() const;
  // What the parts' versions are.
  using Version = APMDatabaseVersion;
  // Empties every table.
  bool reset(platform::Error* error);
  // Removes raw events and queued bundles older than the queue time, and metadata no raw event
  // uses; the number of rows removed.
  std::optional<int64_t> maybeDeleteStaleData(platform::Error* error);
  // Closes the connection and removes the file.
  bool closeAndDeleteDatabase();
  // Closes the connection, folding the write-ahead log into the file; later operations fail.
  void close();

  // The connection the parts share, with its checkpoints (connection().checkpointWhenQuiet()).
  APMDatabaseConnection& connection() { return *connection_; }
  // The parts that keep the tables, on the same connection and worker queue.
  APMDatabaseUserProperties& userProperties() { return userProperties_; }
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

  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  APMDatabaseUserProperties userProperties_;
  APMDatabaseRawEvents rawEvents_;
  APMDatabaseEventAggregates eventAggregates_;
  APMDatabaseAppMetadata appMetadata_;
  APMDatabaseBundleQueue bundleQueue_;
  APMDatabasePurchases purchases_;
  APMDatabaseAudienceFilters audienceFilters_;
  APMDatabaseConditionalProperties conditionalProperties_;
  APMDatabaseOnDeviceValues onDeviceValues_;
  APMDatabaseStoredConfig storedConfig_;
};
