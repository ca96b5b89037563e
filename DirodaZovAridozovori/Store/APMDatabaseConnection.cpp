#include "APMDatabaseConnection.h"

#include <algorithm>
#include <utility>

#include "APMDatabaseRows.h"
#include "APMStoreLog.h"

using platform::Object;

APMDatabaseConnection::APMDatabaseConnection(std::shared_ptr<APMSqliteStore> store,
                                             std::shared_ptr<platform::DispatchQueue> workerQueue)
    : store_(std::move(store)), workerQueue_(std::move(workerQueue)) {}

void APMDatabaseConnection::setLimitsProvider(std::function<APMDatabaseLimits()> provider) {
  limitsProvider_ = std::move(provider);
}

APMDatabaseLimits APMDatabaseConnection::limits() const {
  return limitsProvider_ ? limitsProvider_() : APMDatabaseLimits{};
}

bool APMDatabaseConnection::checkQueue(const char* operation, platform::Error* error) const {
  if (!workerQueue_ || workerQueue_->isCurrent()) {
    if (beforeNextOperation_) std::exchange(beforeNextOperation_, nullptr)();
    return true;
  }
  APMLog(APMLogLevel::kError, APMStoreLogCode::kDatabaseOffWorkerQueue,
         "Database operation called off the worker queue. Operation", {Object(operation)});
  return APMFail(error, kAPMStoreErrorWrongQueue,
                 std::string("Database operation ") + operation + " must run on the worker queue");
}

bool APMDatabaseConnection::checkpointWhenQuiet() {
  if (!checkQueue("checkpointWhenQuiet", nullptr)) return false;
  return store_->checkpoints().checkpointIfWALHolds(kQuietCheckpointPages);
}

std::optional<APMSqliteStore::Records> APMDatabaseConnection::query(const std::string& sql,
                                                                    const platform::Array& values,
                                                                    platform::Error* error) {
  return store_->recordsForQuery(sql, values, error);
}

std::optional<int64_t> APMDatabaseConnection::execute(const std::string& sql, const platform::Array& values,
                                                      platform::Error* error) {
  return store_->executeStatement(sql, values, error);
}

std::optional<bool> APMDatabaseConnection::exists(const std::string& sql, const platform::Array& values,
                                                  platform::Error* error) {
  // The first row answers: it is neither read into a dictionary nor followed by the rest.
  bool found = false;
  if (!store_->forEachRowOfQuery(sql, values,
                                 [&found](const APMSqliteRow&) {
                                   found = true;
                                   return false;
                                 },
                                 error)) {
    return std::nullopt;
  }
  return found;
}

std::optional<int64_t> APMDatabaseConnection::count(const std::string& sql, const platform::Array& values,
                                                    platform::Error* error) {
  auto rows = query(sql, values, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) return 0;
  return apm_rows::integer(rows->front(), "count");
}

double APMDatabaseConnection::latestTime(const std::string& sql, platform::Error* error) {
  auto rows = query(sql, {}, error);
  if (!rows || rows->empty()) return 0;
  return apm_rows::real(rows->front(), "latest");
}

bool APMDatabaseConnection::deleteRowIDs(const char* table, const std::vector<int64_t>& rowIDs,
                                         platform::Error* error) {
  if (rowIDs.empty()) return true;
  // A bundle's rows and a batch's bundles are runs of consecutive row IDs: one range is the same
  // rows as the list, without binding (and preparing a statement for) a thousand placeholders.
  const bool consecutive = std::adjacent_find(rowIDs.begin(), rowIDs.end(), [](int64_t previous, int64_t next) {
                             return next != previous + 1;
                           }) == rowIDs.end();
  if (consecutive && rowIDs.size() > 1) {
    return store_
        ->deleteRecordsFromTableWithName(table, "rowid BETWEEN ? AND ?",
                                         {Object(rowIDs.front()), Object(rowIDs.back())}, error)
        .has_value();
  }
  return store_
      ->deleteRecordsFromTableWithName(table, "rowid IN (" + apm_rows::placeholders(rowIDs.size()) + ")",
                                       apm_rows::rowIDValues(rowIDs), error)
      .has_value();
}
