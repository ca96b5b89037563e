#pragma once
// What every part of the measurement database shares: the one SQLite connection with its checkpoint
// policy, the worker queue its operations must run on, and the storage limits the remote
// configuration sets.
//
// Queue-confined like the parts: an operation called off the worker queue fails
// (kAPMStoreErrorWrongQueue) without touching the file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMSqliteStore.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"

// The storage limits the remote configuration sets; the engine installs the provider.
struct APMDatabaseLimits {
  int64_t maxEventsStored = 100000;         // raw-event rows kept at most
  double maxQueueTime = 2419200;            // seconds a raw event or queued bundle may wait
  int64_t maxStoredSubscriptionIDs = 1000;  // de-duplication memory for subscription purchases
};

// Where stored rows stand: it changes whenever they may have changed through this connection (a
// write, a reset, any rollback), so what was read or done to them holds while this stays the same.
struct APMDatabaseVersion {
  uint64_t writes = 0;
  uint64_t rollbacks = 0;
  bool operator==(const APMDatabaseVersion&) const = default;
};

class APMDatabaseConnection {
 public:
  // The WAL is copied back into the database when writes fall quiet (checkpointWhenQuiet) once it
  // holds this many pages, as SQLite itself would after every commit...
  static constexpr int64_t kQuietCheckpointPages = 1000;
  // ...and during a burst only once it holds this many: a burst of events rewrites the same pages
  // of the metadata and the index over and over, and each checkpoint copies every page it finds
  // and syncs the file twice, so the rarer they are, the more rewrites of a page one copy serves.
  // The copies run on a thread of their own while the worker goes on, and a worker that outruns
  // them waits once the WAL holds twice this many. The price is disk: at 4 KiB pages the WAL grows
  // to about 330 MB at most (plus the group that crosses the mark) while a burst lasts, and is cut
  // to nothing once the road falls quiet and at exit.
  static constexpr int64_t kBurstCheckpointPages = 40000;
  // The least a restart of the WAL leaves of its file (see APMSqliteCheckpoints::CheckpointPolicy).
  static constexpr int64_t kKeptWALBytes = 4 * 1024 * 1024;

  APMDatabaseConnection(std::shared_ptr<APMSqliteStore> store, std::shared_ptr<platform::DispatchQueue> workerQueue);

  const std::shared_ptr<APMSqliteStore>& store() const { return store_; }
  // True on the worker queue (or without one); otherwise logs, fills the error and answers false.
  bool checkQueue(const char* operation, platform::Error* error) const;
  // Worker queue only: action runs once, before the next operation through this connection,
  // whoever asks for it. The event writer leaves a transaction open between groups of events and
  // commits it here, so that nothing else ever reads or writes inside it.
  void setBeforeNextOperation(std::function<void()> action) { beforeNextOperation_ = std::move(action); }
  void setLimitsProvider(std::function<APMDatabaseLimits()> provider);
  // The writes fell quiet (no more are waiting): copies the WAL back into the database when it
  // holds kQuietCheckpointPages or more. Whether a checkpoint ran.
  bool checkpointWhenQuiet();
  APMDatabaseLimits limits() const;

  // Raw-event metadata is built from the user properties and the on-device measurement values: a
  // write to either counts here.
  void noteMetadataSourcesWrite() { ++metadataSourcesWrites_; }
  uint64_t metadataSourcesWrites() const { return metadataSourcesWrites_; }

  std::optional<APMSqliteStore::Records> query(const std::string& sql, const platform::Array& values,
                                               platform::Error* error);
  std::optional<int64_t> execute(const std::string& sql, const platform::Array& values, platform::Error* error);
  std::optional<bool> exists(const std::string& sql, const platform::Array& values, platform::Error* error);
  std::optional<int64_t> count(const std::string& sql, const platform::Array& values, platform::Error* error);
  double latestTime(const std::string& sql, platform::Error* error);
  bool deleteRowIDs(const char* table, const std::vector<int64_t>& rowIDs, platform::Error* error);

 private:
  std::shared_ptr<APMSqliteStore> store_;
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
  std::function<APMDatabaseLimits()> limitsProvider_;
  uint64_t metadataSourcesWrites_ = 0;  // worker queue only
  mutable std::function<void()> beforeNextOperation_;  // worker queue only
};
