#include "APMSqliteTransactions.h"

#include <sqlite3.h>

#include <exception>

#include "APMSqliteErrors.h"
#include "APMSqliteStore.h"
#include "APMStoreLog.h"

bool APMSqliteTransactions::performTransactionWithError(platform::Error* error, const std::function<bool()>& block) {
  if (!beginTransaction(error)) return false;
  bool keep = false;
  std::string thrown;
  try {
    keep = block();
  } catch (const std::exception& exception) {
    thrown = exception.what();
  } catch (...) {
    thrown = "unknown exception";
  }
  if (thrown.empty()) return endTransaction(keep, error);
  // A transaction SQLite already ended says so rather than what the block threw afterwards.
  sqlite3* db = store_.handle();
  const bool endedByDatabase = scopes_.size() == 1 && db && sqlite3_get_autocommit(db);
  platform::Error endError;
  endTransaction(false, &endError);
  if (endedByDatabase) {
    platform::setError(error, endError);
    return false;
  }
  return APMFail(error, kAPMStoreErrorInvalidArgument, "Transaction block threw: " + thrown);
}

namespace {
std::string savepointName(size_t depth) { return "apm_savepoint_" + std::to_string(depth); }
}  // namespace

bool APMSqliteTransactions::beginTransaction(platform::Error* error) {
  if (!store_.isOpen()) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (!scopes_.empty()) {
    // Most savepoints of the event road write nothing, or nothing but one row: SAVEPOINT waits
    // for the first write.
    scopes_.push_back(Scope{false, loneRows_.size()});
    ++pendingSavepoints_;
    return true;
  }
  if (!store_.control("BEGIN EXCLUSIVE TRANSACTION", error)) return false;
  loneRows_.clear();
  scopes_.push_back(Scope{true, 0});
  mustRollBack_ = false;
  ++transactionSerial_;
  return true;
}

bool APMSqliteTransactions::endTransaction(bool keep, platform::Error* error) {
  if (scopes_.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "No transaction to end");
  const size_t depth = scopes_.size() - 1;
  sqlite3* db = store_.handle();
  if (keep && depth == 0 && observer_.willCommit && db && !sqlite3_get_autocommit(db) && !mustRollBack_ &&
      !observer_.willCommit(error)) {
    keep = false;
  }
  const bool kept = endScope(keep, error);
  if (observer_.didEnd) observer_.didEnd(depth, kept);
  return kept;
}

bool APMSqliteTransactions::endScope(bool keep, platform::Error* error) {
  const size_t depth = scopes_.size() - 1;
  const Scope scope = scopes_.back();
  scopes_.pop_back();
  if (!scope.opened) --pendingSavepoints_;
  // Whatever happens below, the scope's rows are no longer its own to undo.
  std::vector<LoneRow> loneRows;
  if (loneRows_.size() > scope.firstLoneRow) {
    if (!keep) loneRows.assign(loneRows_.begin() + static_cast<std::ptrdiff_t>(scope.firstLoneRow), loneRows_.end());
    loneRows_.resize(scope.firstLoneRow);
  }
  sqlite3* db = store_.handle();
  if (!db) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (sqlite3_get_autocommit(db)) {
    // SQLite already rolled the whole transaction back (a full disk, an I/O error): nothing is kept.
    ++rollbackCount_;
    return APMSqliteFail(db, error, "Transaction was rolled back by the database");
  }
  const bool forcedRollback = keep && depth == 0 && mustRollBack_;
  if (forcedRollback) keep = false;
  if (!keep) {
    if (scope.opened || !loneRows.empty()) {
      platform::Error rollbackError;
      bool undone = true;
      if (scope.opened) {
        undone = depth == 0 ? store_.control("ROLLBACK TRANSACTION", &rollbackError)
                            : store_.control("ROLLBACK TO " + savepointName(depth), &rollbackError) &&
                                  store_.control("RELEASE " + savepointName(depth), &rollbackError);
      }
      for (auto row = loneRows.rbegin(); undone && row != loneRows.rend(); ++row) {
        undone = deleteLoneRow(row->table, row->rowID, &rollbackError);
      }
      ++rollbackCount_;
      if (!undone) {
        platform::setError(error, rollbackError);
        return false;
      }
    }
    if (forcedRollback) {
      return APMFail(error, kAPMStoreErrorSQLite, "A rolled-back write could not be undone; the transaction was rolled back");
    }
    // A block that refused without saying why still must not read as success.
    if (error && error->empty()) *error = APMStoreError(kAPMStoreErrorInvalidArgument, "Transaction was rolled back");
    return false;
  }
  if (!scope.opened) return true;  // nothing was written inside, or only its lone rows
  if (store_.control(depth == 0 ? "COMMIT TRANSACTION" : "RELEASE " + savepointName(depth), error)) return true;
  if (depth == 0) {
    platform::Error ignored;
    store_.control("ROLLBACK TRANSACTION", &ignored);
    ++rollbackCount_;
  }
  return false;
}

bool APMSqliteTransactions::deleteLoneRow(const std::string& table, int64_t rowID, platform::Error* error) {
  // Every enclosing scope is open (they were opened before the row went in), so this opens nothing.
  const std::string sql = "DELETE FROM " + APMSqliteStore::quoteIdentifier(table) + " WHERE rowid = ?";
  if (store_.executeStatement(sql, {platform::Object(rowID)}, error)) {
    return true;
  }
  // Left in place, the row would be committed with the rest: the transaction must not commit.
  if (!scopes_.empty()) mustRollBack_ = true;
  return false;
}

bool APMSqliteTransactions::openPendingSavepoints(size_t end, platform::Error* error) {
  for (size_t depth = scopes_.size() - pendingSavepoints_; depth < end; ++depth) {
    if (!store_.control("SAVEPOINT " + savepointName(depth), error)) return false;
    scopes_[depth].opened = true;
    --pendingSavepoints_;
    ++savepointsOpened_;
  }
  return true;
}

void APMSqliteTransactions::connectionClosed() {
  scopes_.clear();
  loneRows_.clear();
  pendingSavepoints_ = 0;
  mustRollBack_ = false;
}
