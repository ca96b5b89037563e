#include "APMSqliteStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <type_traits>

#include "APMStoreLog.h"

namespace {

bool isWrite(sqlite3_stmt* statement) { return !sqlite3_stmt_readonly(statement); }

const std::string& textOf(const std::string& sql) { return sql; }
const std::string& textOf(const APMSqliteStatementSlot& slot) { return slot.sql(); }

void release(sqlite3_stmt* statement, bool owned) {
  if (owned) {
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

bool passesIntegrityCheck(APMSqliteStore& store, platform::Error* error) {
  auto rows = store.recordsForQuery("PRAGMA integrity_check", {}, error);
  if (!rows) {
    // A file SQLite cannot even read as a database is as corrupt as one that fails the check.
    const platform::Object* code = error ? platform::find(error->userInfo, "sqlite_code") : nullptr;
    const int64_t primary = code ? (code->integerValue() & 0xff) : 0;
    if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
      const std::string detail = error ? error->description : "";
      APMFail(error, kAPMStoreErrorCorruptData, "Database integrity check failed: " + detail);
    }
    return false;
  }
  if (rows->size() == 1) {
    const platform::Object* result = platform::find(rows->front(), "integrity_check");
    if (result && result->isString() && result->stringValue() == "ok") return true;
  }
  std::string detail;
  for (const auto& row : *rows) {
    for (const auto& [column, value] : row) detail += value.description() + "; ";
  }
  return APMFail(error, kAPMStoreErrorCorruptData, "Database integrity check failed: " + detail);
}

std::optional<std::vector<std::string>> columnNames(APMSqliteStore& store, const std::string& table,
                                                   platform::Error* error) {
  auto rows = store.recordsForQuery("PRAGMA table_info(" + APMSqliteStore::quoteIdentifier(table) + ")", {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& row : *rows) {
    if (const platform::Object* name = platform::find(row, "name"); name && name->isString()) {
      names.push_back(name->stringValue());
    }
  }
  return names;
}

}  // namespace

APMSqliteStore::APMSqliteStore(std::string path) : path_(std::move(path)) {}

APMSqliteStore::~APMSqliteStore() { close(); }

std::shared_ptr<APMSqliteStore> APMSqliteStore::create(const std::string& databasePath, platform::Error* error) {
  return create(databasePath, Confinement::kAnyThread, error);
}

std::shared_ptr<APMSqliteStore> APMSqliteStore::create(const std::string& databasePath, Confinement confinement,
                                                       platform::Error* error) {
  if (databasePath.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty database path");
    return nullptr;
  }
  std::shared_ptr<APMSqliteStore> store(new APMSqliteStore(databasePath));
  if (!store->open(confinement, error)) return nullptr;
  return store;
}

bool APMSqliteStore::open(Confinement confinement, platform::Error* error) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                    (confinement == Confinement::kOneSerialQueue ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX);
  int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    platform::setError(error, APMSqliteError(rc, std::string("Cannot open database: ") +
                                                  (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc))));
    close();
    return false;
  }
  static std::atomic<uint64_t> openedConnections{0};
  connectionSerial_ = ++openedConnections;
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMilliseconds);
  // The check comes first: a file that is not a database fails here rather than half-configured.
  if (!passesIntegrityCheck(*this, error)) {
    close();
    return false;
  }
  if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=NORMAL", error)) {
    close();
    return false;
  }
  return true;
}

bool APMSqliteStore::exec(const std::string& sql, platform::Error* error) {
  if (!db_) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (!transactions_.openPendingSavepoints(error)) return false;
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return true;
  const std::string what = sql + ": " + (message ? message : sqlite3_errstr(rc));
  platform::setError(error, APMSqliteError(sqlite3_extended_errcode(db_), what));
  sqlite3_free(message);
  return false;
}

sqlite3_stmt* APMSqliteStore::statementFor(const std::string& sql, bool* owned, platform::Error* error) {
  *owned = false;
  if (!db_) {
    APMFail(error, kAPMStoreErrorClosed, "Database is closed");
    return nullptr;
  }
  if (transactionEndedUnderneath()) {
    // SQLite ended the transaction underneath us (an I/O error, a full disk): anything run now
    // would be committed on its own, outside the transaction the caller believes it is in.
    APMFail(error, kAPMStoreErrorSQLite, "The transaction was rolled back by the database");
    return nullptr;
  }
  auto found = statements_.find(sql);
  if (found != statements_.end() && !sqlite3_stmt_busy(found->second)) return found->second;
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                    found == statements_.end() ? SQLITE_PREPARE_PERSISTENT : 0, &statement, nullptr);
  if (rc != SQLITE_OK || !statement) {
    if (statement) sqlite3_finalize(statement);
    APMSqliteFail(db_, error, "Cannot prepare statement \"" + sql + "\"");
    return nullptr;
  }
  if (found == statements_.end()) {
    statements_.emplace(sql, statement);
  } else {
    // The cached one is still stepping for an outer caller; this one lives for this call only.
    *owned = true;
  }
  return statement;
}

sqlite3_stmt* APMSqliteStore::statementFor(APMSqliteStatementSlot& slot, bool* owned, platform::Error* error) {
  sqlite3_stmt* kept = slot.statementFor(connectionSerial_);
  if (kept && db_ && !transactionEndedUnderneath() && !sqlite3_stmt_busy(kept)) {
    *owned = false;
    return kept;
  }
  sqlite3_stmt* statement = statementFor(slot.sql(), owned, error);
  if (statement && !*owned) slot.keep(connectionSerial_, statement);
  return statement;
}

bool APMSqliteStore::transactionEndedUnderneath() const {
  return transactions_.inTransaction() && sqlite3_get_autocommit(db_);
}

bool APMSqliteStore::forEachRowOfQuery(const std::string& query, const platform::Array& parameterValues,
                                       const std::function<bool(const APMSqliteRow& row)>& each,
                                       platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(query, &owned, error);
  if (!statement) return false;
  if ((transactions_.hasPendingSavepoints() && isWrite(statement) && !transactions_.openPendingSavepoints(error)) ||
      !APMSqliteBinding::bind(statement, parameterValues, error)) {
    release(statement, owned);
    return false;
  }
  // Reset however the callback leaves, a throw included: a statement left stepping would hold its
  // read open and be prepared afresh on every later call.
  struct Release {
    sqlite3_stmt* statement;
    bool owned;
    ~Release() { release(statement, owned); }
  } releaseOnExit{statement, owned};
  const APMSqliteRow row(statement);
  for (;;) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return APMSqliteFail(db_, error, "Cannot run query \"" + query + "\"");
    if (!each(row)) return true;
  }
}

std::optional<APMSqliteStore::Records> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const platform::Array& parameterValues,
                                                                       platform::Error* error) {
  Records rows;
  if (!forEachRowOfQuery(query, parameterValues, [&rows](const APMSqliteRow& row) {
        rows.push_back(row.record());
        return true;
      }, error)) {
    return std::nullopt;
  }
  return rows;
}

template <typename Statement, typename Values>
std::optional<int64_t> APMSqliteStore::execute(Statement& sql, const Values& values, platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return std::nullopt;
  if ((transactions_.hasPendingSavepoints() && isWrite(statement) && !transactions_.openPendingSavepoints(error)) ||
      !APMSqliteBinding::bind(statement, values, error)) {
    release(statement, owned);
    return std::nullopt;
  }
  int rc;
  do {
    rc = sqlite3_step(statement);
  } while (rc == SQLITE_ROW);
  if (rc != SQLITE_DONE) {
    APMSqliteFail(db_, error, "Cannot run statement \"" + textOf(sql) + "\"");
    release(statement, owned);
    return std::nullopt;
  }
  const int64_t changes = sqlite3_changes64(db_);
  release(statement, owned);
  return changes;
}

std::optional<int64_t> APMSqliteStore::executeStatement(const std::string& sql, const platform::Array& parameterValues,
                                                        platform::Error* error) {
  return execute(sql, parameterValues, error);
}

template <typename Statement, typename Values>
bool APMSqliteStore::insert(const std::string& table, Statement& sql, const Values& values, platform::Error* error) {
  const bool lone = transactions_.insertsLoneRow();
  if (!lone) return execute(sql, values, error).has_value();
  // The enclosing scopes must cover the row; only the innermost goes without its savepoint.
  if (!transactions_.openPendingSavepoints(transactions_.scopeDepth() - 1, error)) return false;
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return false;
  if (!APMSqliteBinding::bind(statement, values, error)) {
    release(statement, owned);
    return false;
  }
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) {
    APMSqliteFail(db_, error, "Cannot run statement \"" + textOf(sql) + "\"");
    release(statement, owned);
    return false;
  }
  if constexpr (std::is_same_v<Statement, APMSqliteStatementSlot>) {
    // Every run binds all of a slot's values, where they lie, and nothing steps it unbound: the
    // next run replaces each binding, so the slot's statement needs a reset and no clearing.
    if (owned) {
      release(statement, owned);
    } else {
      sqlite3_reset(statement);
    }
  } else {
    release(statement, owned);
  }
  if (sqlite3_changes64(db_) == 0) return true;
  transactions_.noteLoneRow(table, sqlite3_last_insert_rowid(db_));
  return true;
}

bool APMSqliteStore::insertRow(const std::string& table, const std::string& sql, const platform::Array& parameterValues,
                               platform::Error* error) {
  return insert(table, sql, parameterValues, error);
}

bool APMSqliteStore::insertRow(const std::string& table, const std::string& sql,
                               std::initializer_list<APMSqliteBinding::BoundValue> values, platform::Error* error) {
  return insert(table, sql, values, error);
}

bool APMSqliteStore::insertRow(const std::string& table, APMSqliteStatementSlot& slot,
                               std::initializer_list<APMSqliteBinding::BoundValue> values, platform::Error* error) {
  return insert(table, slot, values, error);
}

std::optional<int64_t> APMSqliteStore::executeStatement(APMSqliteStatementSlot& slot,
                                                        std::initializer_list<APMSqliteBinding::BoundValue> values,
                                                        platform::Error* error) {
  return execute(slot, values, error);
}

int64_t APMSqliteStore::lastInsertRowID() const { return db_ ? sqlite3_last_insert_rowid(db_) : 0; }

std::optional<int64_t> APMSqliteStore::dataVersion() {
  bool owned = false;
  sqlite3_stmt* statement = statementFor("PRAGMA data_version", &owned, nullptr);
  if (!statement) return std::nullopt;
  std::optional<int64_t> version;
  if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int64(statement, 0);
  release(statement, owned);
  return version;
}

std::optional<APMSqliteStore::Records> APMSqliteStore::allDataTypesFromTableWithName(const std::string& table,
                                                                                     int64_t limit,
                                                                                     platform::Error* error) {
  return recordsForQuery("SELECT rowid, * FROM " + quoteIdentifier(table) + " ORDER BY rowid LIMIT ?",
                         {platform::Object(limit)}, error);
}

bool APMSqliteStore::upsertRecord(const Record& record, const std::string& table, platform::Error* error) {
  if (record.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty record to upsert");
  std::string columns;
  std::string placeholders;
  platform::Array values;
  values.reserve(record.size());
  for (const auto& [column, value] : record) {
    if (!values.empty()) {
      columns += ", ";
      placeholders += ", ";
    }
    columns += quoteIdentifier(column);
    placeholders += "?";
    values.push_back(value);
  }
  const std::string sql =
      "INSERT OR REPLACE INTO " + quoteIdentifier(table) + " (" + columns + ") VALUES (" + placeholders + ")";
  return executeStatement(sql, values, error).has_value();
}

std::optional<int64_t> APMSqliteStore::deleteRecordsFromTableWithName(const std::string& table,
                                                                      const std::string& condition,
                                                                      const platform::Array& parameterValues,
                                                                      platform::Error* error) {
  if (condition.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty condition for deleting records");
    return std::nullopt;
  }
  return executeStatement("DELETE FROM " + quoteIdentifier(table) + " WHERE " + condition, parameterValues, error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                                   const platform::Object& value, platform::Error* error) {
  return deleteRecordsFromTableWithName(table, quoteIdentifier(column) + " = ?", {value}, error).has_value();
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const ColumnInfo& elementaryColumns,
                                         const ColumnInfo& addOnColumns, const ColumnInfo& modifyColumns,
                                         platform::Error* error) {
  if (table.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty table name");
  if (elementaryColumns.empty()) {
    return APMFail(error, kAPMStoreErrorInvalidArgument, "Received no columns for table " + table);
  }
  auto existing = columnNames(*this, table, error);
  if (!existing) return false;
  if (existing->empty()) {
    std::string definition;
    for (const ColumnInfo* list : {&elementaryColumns, &addOnColumns}) {
      for (const auto& [name, declaration] : *list) {
        if (!definition.empty()) definition += ", ";
        definition += quoteIdentifier(name) + " " + declaration;
      }
    }
    return exec("CREATE TABLE IF NOT EXISTS " + quoteIdentifier(table) + " (" + definition + ")", error);
  }
  std::set<std::string> present(existing->begin(), existing->end());
  for (const ColumnInfo* list : {&elementaryColumns, &addOnColumns, &modifyColumns}) {
    for (const auto& [name, declaration] : *list) {
      if (present.count(name)) continue;
      if (!exec("ALTER TABLE " + quoteIdentifier(table) + " ADD COLUMN " + quoteIdentifier(name) + " " + declaration,
                error)) {
        return false;
      }
      present.insert(name);
    }
  }
  return true;
}

bool APMSqliteStore::control(const std::string& sql, platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return false;
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) APMSqliteFail(db_, error, sql);
  release(statement, owned);
  return rc == SQLITE_DONE;
}

void APMSqliteStore::close() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  checkpoints_.connectionClosing();
  if (db_) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  connectionSerial_ = 0;
  transactions_.connectionClosed();
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  close();
  for (const char* suffix : {"-wal", "-shm", "-journal"}) std::remove((path_ + suffix).c_str());
  if (std::remove(path_.c_str()) == 0) return true;
  return errno == ENOENT;
}

std::string APMSqliteStore::quoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += '"';
  return quoted;
}
