#pragma once
// The experiment snapshots of every SDK in their three states, one row per SDK in each table:
// "pending_snapshot_table" (fetched, not yet active), "activated_snapshot_table" (the running
// experiments, ID != 0) and "launched_snapshot_table" (the rolled-out experiment, ID 0).
//
// Each row holds the encoded snapshot message, its timestamp (seconds since 1970) and, for pending
// rows only, whether its SDK activates it itself (1) or the next start does (0).
//
// Queue-confined: used only on the experiment worker queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMESnapshot.h"
#include "APMSqliteStore.h"
#include "platform/Error.h"

class APMEDatabase {
 public:
  static constexpr const char* kDatabaseFileName = "diroda_experimentation_database.sql";
  static constexpr const char* kPendingTable = "pending_snapshot_table";
  static constexpr const char* kActivatedTable = "activated_snapshot_table";
  static constexpr const char* kLaunchedTable = "launched_snapshot_table";
  // Activated snapshots older than this are deleted at start.
  static constexpr double kStaleInterval = 259200;
  static constexpr int64_t kTableLimit = 100000;

  using Snapshots = std::vector<std::shared_ptr<APMESnapshot>>;

  // initWithPath: opens (creating when missing) and validates the file; nullptr (logged) when it
  // cannot. A file that fails validation is deleted.
  static std::shared_ptr<APMEDatabase> create(const std::string& path);
  explicit APMEDatabase(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  bool isOpen() const { return store_ != nullptr; }

  bool ensureAllTables();
  // Closes the connection and deletes the file; later calls fail until reset().
  bool closeAndDelete();
  // Deletes the file and starts an empty one at the same path.
  bool reset();
  // Runs block in one transaction, kept when it answers true.
  bool performTransaction(const std::function<bool()>& block);

  // Every row of a table as snapshots, oldest row first; nothing when any row does not make one.
  std::optional<Snapshots> fetchAllActivatedSnapshots(platform::Error* error);
  std::optional<Snapshots> fetchAllPendingSnapshots(platform::Error* error);
  std::optional<Snapshots> fetchAllLaunchedSnapshots(platform::Error* error);

  // Stores message as its SDK's row of table; manuallyActivated is left NULL when not given.
  bool upsertSnapshot(const APMPBSnapshot& message, const std::string& table, double timestamp,
                      std::optional<bool> manuallyActivated, platform::Error* error);
  bool upsertPendingExperimentSnapshots(const Snapshots& snapshots, platform::Error* error);

  // Moves snapshot's experiments into the launched (ID 0) and activated (all others) rows of its
  // SDK, stamped timestamp, and drops the SDK's pending rows no newer than timestamp.
  bool activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp, platform::Error* error);
  // Activates every pending snapshot that its SDK does not activate itself, oldest row first.
  bool activatePendingSnapshotsAutomatically(platform::Error* error);
  bool deleteStaleActivatedSnapshots(platform::Error* error);

  bool deleteActivatedExperimentsOfSDKName(const std::string& SDKName, platform::Error* error);
  bool deletePendingExperimentsOfSDKName(const std::string& SDKName, platform::Error* error);
  bool deleteLaunchedExperimentSDKName(const std::string& SDKName, platform::Error* error);

 private:
  bool initializeDatabaseResources(const std::string& context);
  std::shared_ptr<APMSqliteStore> openStore(const std::string& context);
  void deleteFiles();
  std::optional<Snapshots> fetchAllSnapshots(const std::string& table, platform::Error* error);
  bool deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table, platform::Error* error);
  bool closedError(platform::Error* error) const;

  // Kept here rather than read from the store, so a reset after a failed validation (which drops
  // the store) still knows where the file belongs.
  std::string path_;
  std::shared_ptr<APMSqliteStore> store_;
};
