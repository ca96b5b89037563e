#pragma once
// The part of the measurement database that keeps the daily counts and the bundle indices and times
// of the one app-metadata row ("app_metadata").

#include <memory>
#include <optional>

#include "APMAppMetadata.h"
#include "APMDailyCounts.h"
#include "APMDatabaseConnection.h"

class APMDatabaseAppMetadata {
 public:
  explicit APMDatabaseAppMetadata(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  std::optional<APMDailyCounts> dailyCounts(platform::Error* error);
  bool updateDailyCounts(const APMDailyCounts& counts, platform::Error* error);
  std::optional<APMAppMetadata> queryAppMetadata(platform::Error* error);
  bool updateAppMetadata(const APMAppMetadata& metadata, platform::Error* error);

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
};
