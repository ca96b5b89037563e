#include "APMSqliteStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>

#include "APMStoreLog.h"

namespace {

platform::Error sqliteError(int resultCode, const std::string& description) {
  platform::Error error = APMStoreError(kAPMStoreErrorSQLite, description);
  error.userInfo["sqlite_code"] = platform::Object(static_cast<int64_t>(resultCode));
  return error;
}

platform::Object columnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return platform::Object(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return platform::Object(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return platform::Object(std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement, column))));
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
      const int size = sqlite3_column_bytes(statement, column);
      return platform::Object(platform::Data(bytes, bytes + size));
    }
    default:
      return platform::Object();
  }
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
    platform::setError(error, sqliteError(rc, std::string("Cannot open database: ") +
                                                  (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc))));
    close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMilliseconds);
  // The check comes first: a file that is not a database fails here rather than half-configured.
  if (!checkIntegrity(error)) {
    close();
    return false;
  }
  if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=NORMAL", error)) {
    close();
    return false;
  }
  return true;
}

bool APMSqliteStore::checkIntegrity(platform::Error* error) {
  auto rows = recordsForQuery("PRAGMA integrity_check", {}, error);
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

bool APMSqliteStore::fail(platform::Error* error, const std::string& what) const {
  if (!db_) return APMFail(error, kAPMStoreErrorClosed, what + ": database is closed");
  platform::setError(error, sqliteError(sqlite3_extended_errcode(db_), what + ": " + sqlite3_errmsg(db_)));
  return false;
}

bool APMSqliteStore::exec(const std::string& sql, platform::Error* error) {
  if (!db_) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (!openPendingSavepoints(error)) return false;
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return true;
  platform::setError(error, sqliteError(sqlite3_extended_errcode(db_), sql + ": " + (message ? message : sqlite3_errstr(rc))));
  sqlite3_free(message);
  return false;
}

sqlite3_stmt* APMSqliteStore::statementFor(const std::string& sql, bool* owned, platform::Error* error) {
  *owned = false;
  if (!db_) {
    APMFail(error, kAPMStoreErrorClosed, "Database is closed");
    return nullptr;
  }
  if (!scopes_.empty() && sqlite3_get_autocommit(db_)) {
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
    fail(error, "Cannot prepare statement \"" + sql + "\"");
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

void APMSqliteStore::release(sqlite3_stmt* statement, bool owned) {
  if (owned) {
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

bool APMSqliteStore::bind(sqlite3_stmt* statement, const platform::Array& values, platform::Error* error) {
  const int expected = sqlite3_bind_parameter_count(statement);
  if (expected != static_cast<int>(values.size())) {
    return APMFail(error, kAPMStoreErrorInvalidArgument,
                   "Statement expects " + std::to_string(expected) + " parameter values, received " +
                       std::to_string(values.size()));
  }
  for (int i = 0; i < expected; ++i) {
    const platform::Object& value = values[static_cast<size_t>(i)];
    const int index = i + 1;
    int rc = SQLITE_OK;
    switch (value.kind()) {
      case platform::Object::Kind::Null:
        rc = sqlite3_bind_null(statement, index);
        break;
      case platform::Object::Kind::Bool:
      case platform::Object::Kind::Integer:
        rc = sqlite3_bind_int64(statement, index, value.integerValue());
        break;
      case platform::Object::Kind::Double:
        rc = sqlite3_bind_double(statement, index, value.doubleValue());
        break;
      case platform::Object::Kind::Date:
        rc = sqlite3_bind_double(statement, index, value.dateValue().seconds);
        break;
      case platform::Object::Kind::String: {
        const std::string& text = value.stringValue();
        rc = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
        break;
      }
      case platform::Object::Kind::Data: {
        const platform::Data& bytes = value.dataValue();
        // An empty blob must stay a blob, not NULL: SQLite binds a null pointer as NULL.
        static const uint8_t kEmpty = 0;
        rc = sqlite3_bind_blob64(statement, index, bytes.empty() ? &kEmpty : bytes.data(), bytes.size(), SQLITE_STATIC);
        break;
      }
      case platform::Object::Kind::Array:
      case platform::Object::Kind::Dictionary:
        return APMFail(error, kAPMStoreErrorInvalidArgument,
                       "Cannot bind a collection as parameter " + std::to_string(index));
    }
    if (rc != SQLITE_OK) return fail(error, "Cannot bind parameter " + std::to_string(index));
  }
  return true;
}

bool APMSqliteStore::bind(sqlite3_stmt* statement, std::initializer_list<BoundValue> values, platform::Error* error) {
  const int expected = sqlite3_bind_parameter_count(statement);
  if (expected != static_cast<int>(values.size())) {
    return APMFail(error, kAPMStoreErrorInvalidArgument,
                   "Statement expects " + std::to_string(expected) + " parameter values, received " +
                       std::to_string(values.size()));
  }
  int index = 0;
  for (const BoundValue& value : values) {
    ++index;
    int rc = SQLITE_OK;
    switch (value.kind) {
      case BoundValue::Kind::Integer:
        rc = sqlite3_bind_int64(statement, index, value.integer);
        break;
      case BoundValue::Kind::Real:
        rc = sqlite3_bind_double(statement, index, value.real);
        break;
      case BoundValue::Kind::Text:
        rc = sqlite3_bind_text64(statement, index, static_cast<const char*>(value.bytes), value.size, SQLITE_STATIC,
                                 SQLITE_UTF8);
        break;
      case BoundValue::Kind::Blob: {
        // An empty blob must stay a blob, not NULL: SQLite binds a null pointer as NULL.
        static const uint8_t kEmpty = 0;
        rc = sqlite3_bind_blob64(statement, index, value.size == 0 ? &kEmpty : value.bytes, value.size, SQLITE_STATIC);
        break;
      }
    }
    if (rc != SQLITE_OK) return fail(error, "Cannot bind parameter " + std::to_string(index));
  }
  return true;
}

bool APMSqliteStore::Row::has(int column) const { return sqlite3_column_type(statement_, column) != SQLITE_NULL; }

int64_t APMSqliteStore::Row::integer(int column) const {
  const int type = sqlite3_column_type(statement_, column);
  if (type == SQLITE_FLOAT) return platform::saturatingInt64(sqlite3_column_double(statement_, column));
  return type == SQLITE_INTEGER ? static_cast<int64_t>(sqlite3_column_int64(statement_, column)) : 0;
}

double APMSqliteStore::Row::real(int column) const {
  const int type = sqlite3_column_type(statement_, column);
  return type == SQLITE_INTEGER || type == SQLITE_FLOAT ? sqlite3_column_double(statement_, column) : 0;
}

std::string APMSqliteStore::Row::text(int column) const {
  if (sqlite3_column_type(statement_, column) != SQLITE_TEXT) return std::string();
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

std::span<const uint8_t> APMSqliteStore::Row::bytes(int column) const {
  if (sqlite3_column_type(statement_, column) != SQLITE_BLOB) return {};
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::span<const uint8_t>(bytes, static_cast<size_t>(size)) : std::span<const uint8_t>();
}

APMSqliteStore::Record APMSqliteStore::Row::record() const {
  Record row;
  const int columns = sqlite3_column_count(statement_);
  for (int column = 0; column < columns; ++column) {
    platform::Object value = columnValue(statement_, column);
    if (value.isNull()) continue;
    row.emplace(sqlite3_column_name(statement_, column), std::move(value));
  }
  return row;
}

bool APMSqliteStore::forEachRowOfQuery(const std::string& query, const platform::Array& parameterValues,
                                       const std::function<bool(const Row& row)>& each, platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(query, &owned, error);
  if (!statement) return false;
  if ((pendingSavepoints_ > 0 && isWrite(statement) && !openPendingSavepoints(error)) ||
      !bind(statement, parameterValues, error)) {
    release(statement, owned);
    return false;
  }
  // Reset however the callback leaves, a throw included: a statement left stepping would hold its
  // read open and be prepared afresh on every later call.
  struct Release {
    APMSqliteStore& store;
    sqlite3_stmt* statement;
    bool owned;
    ~Release() { store.release(statement, owned); }
  } releaseOnExit{*this, statement, owned};
  const Row row(statement);
  for (;;) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return fail(error, "Cannot run query \"" + query + "\"");
    if (!each(row)) return true;
  }
}

std::optional<APMSqliteStore::Records> APMSqliteStore::recordsForQuery(const std::string& query,
                                                                       const platform::Array& parameterValues,
                                                                       platform::Error* error) {
  Records rows;
  if (!forEachRowOfQuery(query, parameterValues, [&rows](const Row& row) {
        rows.push_back(row.record());
        return true;
      }, error)) {
    return std::nullopt;
  }
  return rows;
}

template <typename Values>
std::optional<int64_t> APMSqliteStore::execute(const std::string& sql, const Values& values, platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return std::nullopt;
  if ((pendingSavepoints_ > 0 && isWrite(statement) && !openPendingSavepoints(error)) ||
      !bind(statement, values, error)) {
    release(statement, owned);
    return std::nullopt;
  }
  int rc;
  do {
    rc = sqlite3_step(statement);
  } while (rc == SQLITE_ROW);
  if (rc != SQLITE_DONE) {
    fail(error, "Cannot run statement \"" + sql + "\"");
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

template <typename Values>
bool APMSqliteStore::insert(const std::string& table, const std::string& sql, const Values& values,
                            platform::Error* error) {
  const bool lone = pendingSavepoints_ > 0 && !scopes_.back().opened;
  if (!lone) return execute(sql, values, error).has_value();
  // The enclosing scopes must cover the row; only the innermost goes without its savepoint.
  if (!openPendingSavepoints(scopes_.size() - 1, error)) return false;
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return false;
  if (!bind(statement, values, error)) {
    release(statement, owned);
    return false;
  }
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) {
    fail(error, "Cannot run statement \"" + sql + "\"");
    release(statement, owned);
    return false;
  }
  release(statement, owned);
  if (sqlite3_changes64(db_) == 0) return true;
  loneRows_.push_back({table, sqlite3_last_insert_rowid(db_)});
  return true;
}

bool APMSqliteStore::insertRow(const std::string& table, const std::string& sql, const platform::Array& parameterValues,
                               platform::Error* error) {
  return insert(table, sql, parameterValues, error);
}

bool APMSqliteStore::insertRow(const std::string& table, const std::string& sql,
                               std::initializer_list<BoundValue> values, platform::Error* error) {
  return insert(table, sql, values, error);
}

std::optional<int64_t> APMSqliteStore::dataVersion() {
  bool owned = false;
  sqlite3_stmt* statement = statementFor("PRAGMA data_version", &owned, nullptr);
  if (!statement) return std::nullopt;
  std::optional<int64_t> version;
  if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int64(statement, 0);
  release(statement, owned);
  return version;
}

int64_t APMSqliteStore::lastInsertRowID() const { return db_ ? sqlite3_last_insert_rowid(db_) : 0; }

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

std::optional<std::vector<std::string>> APMSqliteStore::columnNames(const std::string& table, platform::Error* error) {
  auto rows = recordsForQuery("PRAGMA table_info(" + quoteIdentifier(table) + ")", {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& row : *rows) {
    if (const platform::Object* name = platform::find(row, "name"); name && name->isString()) {
      names.push_back(name->stringValue());
    }
  }
  return names;
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const ColumnInfo& elementaryColumns,
                                         const ColumnInfo& addOnColumns, const ColumnInfo& modifyColumns,
                                         platform::Error* error) {
  if (table.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty table name");
  if (elementaryColumns.empty()) {
    return APMFail(error, kAPMStoreErrorInvalidArgument, "Received no columns for table " + table);
  }
  auto existing = columnNames(table, error);
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

bool APMSqliteStore::performTransactionWithError(platform::Error* error, const std::function<bool()>& block) {
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
  const bool endedByDatabase = scopes_.size() == 1 && db_ && sqlite3_get_autocommit(db_);
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

bool APMSqliteStore::beginTransaction(platform::Error* error) {
  if (!db_) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (!scopes_.empty()) {
    // Most savepoints of the event road write nothing, or nothing but one row: SAVEPOINT waits
    // for the first write.
    scopes_.push_back(Scope{false, loneRows_.size()});
    ++pendingSavepoints_;
    return true;
  }
  if (!control("BEGIN EXCLUSIVE TRANSACTION", error)) return false;
  loneRows_.clear();
  scopes_.push_back(Scope{true, 0});
  mustRollBack_ = false;
  ++transactionSerial_;
  return true;
}

bool APMSqliteStore::endTransaction(bool keep, platform::Error* error) {
  if (scopes_.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "No transaction to end");
  const size_t depth = scopes_.size() - 1;
  if (keep && depth == 0 && observer_.willCommit && db_ && !sqlite3_get_autocommit(db_) && !mustRollBack_ &&
      !observer_.willCommit(error)) {
    keep = false;
  }
  const bool kept = endScope(keep, error);
  if (observer_.didEnd) observer_.didEnd(depth, kept);
  return kept;
}

bool APMSqliteStore::endScope(bool keep, platform::Error* error) {
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
  if (!db_) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  if (sqlite3_get_autocommit(db_)) {
    // SQLite already rolled the whole transaction back (a full disk, an I/O error): nothing is kept.
    ++rollbackCount_;
    return fail(error, "Transaction was rolled back by the database");
  }
  const bool forcedRollback = keep && depth == 0 && mustRollBack_;
  if (forcedRollback) keep = false;
  if (!keep) {
    if (scope.opened || !loneRows.empty()) {
      platform::Error rollbackError;
      bool undone = true;
      if (scope.opened) {
        undone = depth == 0 ? control("ROLLBACK TRANSACTION", &rollbackError)
                            : control("ROLLBACK TO " + savepointName(depth), &rollbackError) &&
                                  control("RELEASE " + savepointName(depth), &rollbackError);
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
  if (control(depth == 0 ? "COMMIT TRANSACTION" : "RELEASE " + savepointName(depth), error)) return true;
  if (depth == 0) {
    platform::Error ignored;
    control("ROLLBACK TRANSACTION", &ignored);
    ++rollbackCount_;
  }
  return false;
}

bool APMSqliteStore::deleteLoneRow(const std::string& table, int64_t rowID, platform::Error* error) {
  // Every enclosing scope is open (they were opened before the row went in), so this opens nothing.
  if (executeStatement("DELETE FROM " + quoteIdentifier(table) + " WHERE rowid = ?", {platform::Object(rowID)}, error)) {
    return true;
  }
  // Left in place, the row would be committed with the rest: the transaction must not commit.
  if (!scopes_.empty()) mustRollBack_ = true;
  return false;
}

bool APMSqliteStore::openPendingSavepoints(size_t end, platform::Error* error) {
  for (size_t depth = scopes_.size() - pendingSavepoints_; depth < end; ++depth) {
    if (!control("SAVEPOINT " + savepointName(depth), error)) return false;
    scopes_[depth].opened = true;
    --pendingSavepoints_;
    ++savepointsOpened_;
  }
  return true;
}

bool APMSqliteStore::isWrite(sqlite3_stmt* statement) const { return !sqlite3_stmt_readonly(statement); }

bool APMSqliteStore::control(const std::string& sql, platform::Error* error) {
  bool owned = false;
  sqlite3_stmt* statement = statementFor(sql, &owned, error);
  if (!statement) return false;
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) fail(error, sql);
  release(statement, owned);
  return rc == SQLITE_DONE;
}

void APMSqliteStore::close() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  if (db_) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  scopes_.clear();
  loneRows_.clear();
  pendingSavepoints_ = 0;
  mustRollBack_ = false;
  checkpoints_.connectionClosed();
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
