#pragma once
// A small SQLite layer: one connection, statements cached by their text, rows as dictionaries.
//
// It knows nothing of measurement; the measurement database and the experiment database both sit
// on it. The connection runs in WAL mode with synchronous=NORMAL: a committed transaction survives a
// crash of the process and readers never wait for the writer.
//
// Not thread-safe by itself: each owner confines its store to one serial queue.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "APMSqliteBinding.h"
#include "APMSqliteCheckpoints.h"
#include "APMSqliteErrors.h"
#include "APMSqliteRow.h"
#include "APMSqliteStatementSlot.h"
#include "APMSqliteTransactions.h"
#include "platform/Error.h"
#include "platform/Object.h"

struct sqlite3;
struct sqlite3_stmt;

class APMSqliteStore {
 public:
  // Column name and its SQL declaration ("INTEGER NOT NULL", "BLOB" …).
  using ColumnInfo = std::vector<std::pair<std::string, std::string>>;
  // One row: column name to value. SQL NULL columns are absent from the dictionary.
  using Record = platform::Dictionary;
  using Records = std::vector<Record>;

  // Opens or creates the file and runs SQLite's integrity check on it. Null and an error when the
  // file cannot be opened or fails the check (code kAPMStoreErrorCorruptData), so the owner can
  // decide whether to set the file aside.
  static std::shared_ptr<APMSqliteStore> create(const std::string& databasePath, platform::Error* error);
  // Who uses the connection. SQLite takes a mutex around nearly every call on a connection that
  // threads may share; an owner whose every call runs on one serial queue, and checks that it does,
  // needs none (two threads may still use it one after the other, never at once).
  enum class Confinement { kAnyThread, kOneSerialQueue };
  static std::shared_ptr<APMSqliteStore> create(const std::string& databasePath, Confinement confinement,
                                                platform::Error* error);

  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  // How long a statement waits for another connection's lock before it fails as busy.
  static constexpr int kBusyTimeoutMilliseconds = 5000;

  const std::string& databasePath() const { return path_; }
  bool isOpen() const { return db_ != nullptr; }
  // The connection, for the parts of this store that speak to SQLite themselves; null once closed.
  sqlite3* handle() const { return db_; }

  // Creates the table with the elementary and add-on columns when missing; on an existing table adds
  // every listed column it lacks (SQLite cannot change a column's declaration, so the modify list
  // only adds what is missing as well).
  bool ensureTableWithName(const std::string& table, const ColumnInfo& elementaryColumns, const ColumnInfo& addOnColumns,
                           const ColumnInfo& modifyColumns, platform::Error* error);

  // The transactions and savepoints of this connection.
  APMSqliteTransactions& transactions() { return transactions_; }
  // Runs one transaction-control statement (BEGIN, SAVEPOINT, COMMIT …) from the statement cache,
  // for those transactions.
  bool control(const std::string& sql, platform::Error* error);
  // SQLite's data version: changes when another connection (another process) has committed since
  // the last call; none when it cannot be read.
  std::optional<int64_t> dataVersion();

  // The WAL's checkpoints on this connection.
  APMSqliteCheckpoints& checkpoints() { return checkpoints_; }

  // Runs a query with "?" placeholders bound to parameterValues and hands each row to each as it is
  // stepped; each returning false stops the query there. Whether the query ran.
  bool forEachRowOfQuery(const std::string& query, const platform::Array& parameterValues,
                         const std::function<bool(const APMSqliteRow& row)>& each, platform::Error* error);
  // Runs a query with "?" placeholders bound to parameterValues in order.
  std::optional<Records> recordsForQuery(const std::string& query, const platform::Array& parameterValues,
                                         platform::Error* error);
  // Every row of a table with its row ID under "rowid", oldest first, at most limit rows.
  std::optional<Records> allDataTypesFromTableWithName(const std::string& table, int64_t limit, platform::Error* error);

  // INSERT OR REPLACE of one record (column to value).
  bool upsertRecord(const Record& record, const std::string& table, platform::Error* error);

  // Deletes the rows matching condition ("?" placeholders); the number of rows deleted.
  std::optional<int64_t> deleteRecordsFromTableWithName(const std::string& table, const std::string& condition,
                                                        const platform::Array& parameterValues, platform::Error* error);
  bool deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                     const platform::Object& value, platform::Error* error);

  // Runs one statement that returns no rows; the number of rows it changed.
  std::optional<int64_t> executeStatement(const std::string& sql, const platform::Array& parameterValues,
                                          platform::Error* error);
  // Runs an INSERT of one row into table (a table with row IDs). While a scope has written nothing
  // but such rows it opens no savepoint: a single statement lands whole or not at all, and should
  // the scope be rolled back after all, its rows are deleted again by their row IDs, newest first
  // (an INSERT OR IGNORE that found its row inserted nothing, so nothing of it is deleted).
  // Whether the statement ran.
  bool insertRow(const std::string& table, const std::string& sql, const platform::Array& parameterValues,
                 platform::Error* error);
  // The same with its values bound where they lie, for the rows written most often.
  bool insertRow(const std::string& table, const std::string& sql,
                 std::initializer_list<APMSqliteBinding::BoundValue> values, platform::Error* error);

  // The same through a slot that keeps the statement between runs.
  bool insertRow(const std::string& table, APMSqliteStatementSlot& slot,
                 std::initializer_list<APMSqliteBinding::BoundValue> values, platform::Error* error);
  // Runs one statement that returns no rows, kept in slot and bound where its values lie; the
  // number of rows it changed. Unlike insertRow it opens the scope's savepoint like any write.
  std::optional<int64_t> executeStatement(APMSqliteStatementSlot& slot,
                                          std::initializer_list<APMSqliteBinding::BoundValue> values,
                                          platform::Error* error);
  // The row ID of the row this connection inserted last (a replacing insert takes a new one).
  int64_t lastInsertRowID() const;

  // Closes the connection and removes the file with its WAL and shared-memory siblings.
  bool closeAndDeleteDatabase();
  // Closes the connection; later calls fail with kAPMStoreErrorClosed.
  void close();

  // An identifier quoted for SQL ("name" with inner quotes doubled).
  static std::string quoteIdentifier(const std::string& name);

 private:
  explicit APMSqliteStore(std::string path);
  bool open(Confinement confinement, platform::Error* error);
  bool exec(const std::string& sql, platform::Error* error);

  // A prepared statement for sql, from the cache when it is idle there; owned tells whether the
  // caller must finalize it.
  sqlite3_stmt* statementFor(const std::string& sql, bool* owned, platform::Error* error);
  sqlite3_stmt* statementFor(APMSqliteStatementSlot& slot, bool* owned, platform::Error* error);
  // Runs one statement (its text, or a slot) bound by APMSqliteBinding; the number of rows it changed.
  template <typename Statement, typename Values>
  std::optional<int64_t> execute(Statement& sql, const Values& values, platform::Error* error);
  template <typename Statement, typename Values>
  bool insert(const std::string& table, Statement& sql, const Values& values, platform::Error* error);
  // SQLite ended the open transaction underneath us.
  bool transactionEndedUnderneath() const;

  std::string path_;
  sqlite3* db_ = nullptr;
  // Drawn from a process-wide count at each open, zero while closed: what a statement slot knows
  // this connection by.
  uint64_t connectionSerial_ = 0;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
  APMSqliteTransactions transactions_{*this};
  APMSqliteCheckpoints checkpoints_{*this};
};
