#pragma once
// The part of the measurement database that keeps the event aggregates ("events") and their
// snapshot ("events_snapshot").

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMDatabaseConnection.h"
#include "APMEventAggregates.h"

class APMDatabaseEventAggregates {
 public:
  explicit APMDatabaseEventAggregates(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name, platform::Error* error);
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> allEventAggregates(platform::Error* error);
  bool updateEventAggregates(const APMEventAggregates& aggregates, platform::Error* error);
  std::optional<int64_t> publicEventCount(platform::Error* error);
  bool clearCurrentSessionCounts(platform::Error* error);
  bool createEventsSnapshotTable(platform::Error* error);
  bool restoreFromEventsSnapshotTable(platform::Error* error);

 private:
  bool copyEventsTable(const char* from, const char* to, platform::Error* error);

  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
};
