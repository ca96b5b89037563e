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
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "APMSqliteCheckpoints.h"
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

  // Runs block inside an exclusive transaction; commits when it returns true, rolls back otherwise.
  // Called again from inside a block, it runs the inner block as a savepoint, so an inner false
  // undoes the inner block's changes only. A block that throws is rolled back and reported as a
  // failure. Returns whether the changes were kept.
  bool performTransactionWithError(platform::Error* error, const std::function<bool()>& block);
  bool inTransaction() const { return !scopes_.empty(); }

  // The same as a scope the caller holds: every successful begin is ended exactly once, innermost
  // first. The outermost is an exclusive transaction; one begun inside it is a savepoint, which is
  // opened only when something is written inside it, so a scope that only reads costs nothing.
  bool beginTransaction(platform::Error* error);
  // Ends the innermost scope: keep commits (or releases) it, otherwise it is rolled back. Whether
  // its changes were kept.
  bool endTransaction(bool keep, platform::Error* error);
  // What the owner keeps beside the scopes: told as each scope ends (its depth, 0 the outermost,
  // and whether its changes were kept), and asked just before the outermost commits, inside it
  // (false rolls it back instead).
  struct ScopeObserver {
    std::function<bool(platform::Error* error)> willCommit;
    std::function<void(size_t depth, bool kept)> didEnd;
  };
  void setScopeObserver(ScopeObserver observer) { observer_ = std::move(observer); }
  // The scopes open now (0 outside any transaction).
  size_t scopeDepth() const { return scopes_.size(); }
  // Counts every rollback on this connection (of a scope, or SQLite's own after an I/O error), so
  // that what was read before one can be known to be stale.
  uint64_t rollbackCount() const { return rollbackCount_; }
  // Counts the outermost transactions begun on this connection: tells one transaction from the next.
  uint64_t transactionSerial() const { return transactionSerial_; }
  // Counts the savepoints actually opened (a scope that wrote nothing, or only its lone row, opens
  // none).
  uint64_t savepointsOpened() const { return savepointsOpened_; }
  // SQLite's data version: changes when another connection (another process) has committed since
  // the last call; none when it cannot be read.
  std::optional<int64_t> dataVersion();

  // The WAL's checkpoints on this connection.
  APMSqliteCheckpoints& checkpoints() { return checkpoints_; }

  // One row of a query while it is stepped, read in place by column index (the order the query
  // names them), without building a dictionary: bundling reads a thousand rows per group. Valid
  // only inside the callback that receives it. A NULL or differently typed column reads as the
  // neutral value, as apm_rows reads a dictionary.
  class Row {
   public:
    explicit Row(sqlite3_stmt* statement) : statement_(statement) {}
    bool has(int column) const;
    int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    // The blob's bytes, as long as the row is current.
    std::span<const uint8_t> bytes(int column) const;
    // The row as recordsForQuery gives it.
    Record record() const;

   private:
    sqlite3_stmt* statement_;
  };
  // Runs a query with "?" placeholders bound to parameterValues and hands each row to each as it is
  // stepped; each returning false stops the query there. Whether the query ran.
  bool forEachRowOfQuery(const std::string& query, const platform::Array& parameterValues,
                         const std::function<bool(const Row& row)>& each, platform::Error* error);
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
  // A value bound where it lies, for the rows written most often: no host value is made for it,
  // and text and blob bytes are read in place, so they must stay put until the call returns.
  struct BoundValue {
    enum class Kind { Integer, Real, Text, Blob };
    Kind kind = Kind::Integer;
    int64_t integer = 0;
    double real = 0;
    const void* bytes = nullptr;
    size_t size = 0;
    static BoundValue of(int64_t value) { return {Kind::Integer, value, 0, nullptr, 0}; }
    static BoundValue of(double value) { return {Kind::Real, 0, value, nullptr, 0}; }
    static BoundValue of(const std::string& text) { return {Kind::Text, 0, 0, text.data(), text.size()}; }
    static BoundValue of(const platform::Data& blob) { return {Kind::Blob, 0, 0, blob.data(), blob.size()}; }
  };
  bool insertRow(const std::string& table, const std::string& sql, std::initializer_list<BoundValue> values,
                 platform::Error* error);
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
  bool checkIntegrity(platform::Error* error);
  bool exec(const std::string& sql, platform::Error* error);
  // Runs one transaction-control statement from the statement cache.
  bool control(const std::string& sql, platform::Error* error);
  // Opens the savepoints of the enclosing scopes that are not open yet, outermost first: about to write.
  bool openPendingSavepoints(platform::Error* error) { return openPendingSavepoints(scopes_.size(), error); }
  // The same for the scopes above depth `end` only.
  bool openPendingSavepoints(size_t end, platform::Error* error);
  // Undoes a scope's lone row as its rollback; whether it is gone.
  bool deleteLoneRow(const std::string& table, int64_t rowID, platform::Error* error);
  bool isWrite(sqlite3_stmt* statement) const;
  bool fail(platform::Error* error, const std::string& what) const;

  // A prepared statement for sql, from the cache when it is idle there; owned tells whether the
  // caller must finalize it.
  sqlite3_stmt* statementFor(const std::string& sql, bool* owned, platform::Error* error);
  bool bind(sqlite3_stmt* statement, const platform::Array& values, platform::Error* error);
  bool bind(sqlite3_stmt* statement, std::initializer_list<BoundValue> values, platform::Error* error);
  // Runs one statement bound by bind; the number of rows it changed.
  template <typename Values>
  std::optional<int64_t> execute(const std::string& sql, const Values& values, platform::Error* error);
  template <typename Values>
  bool insert(const std::string& table, const std::string& sql, const Values& values, platform::Error* error);
  void release(sqlite3_stmt* statement, bool owned);
  std::optional<std::vector<std::string>> columnNames(const std::string& table, platform::Error* error);

  std::string path_;
  sqlite3* db_ = nullptr;
  APMSqliteCheckpoints checkpoints_{*this};
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
  struct Scope {
    bool opened = false;    // its BEGIN or SAVEPOINT was issued
    size_t firstLoneRow = 0;  // where its lone rows begin in loneRows_
  };
  // The open scopes, outermost first.
  std::vector<Scope> scopes_;
  // The rows the innermost scope inserted before (or without) its savepoint: the savepoint does not
  // cover them, so a rollback deletes them by their row IDs. (An enclosing scope is opened before
  // they go in, so once their scope ends they are its savepoint's to undo.)
  struct LoneRow {
    std::string table;
    int64_t rowID = 0;
  };
  std::vector<LoneRow> loneRows_;
  size_t pendingSavepoints_ = 0;  // scopes not yet opened (always the innermost ones)
  // A rolled-back lone row could not be deleted: the transaction must not commit it.
  bool mustRollBack_ = false;
  ScopeObserver observer_;
  bool endScope(bool keep, platform::Error* error);
  uint64_t rollbackCount_ = 0;
  uint64_t transactionSerial_ = 0;
  uint64_t savepointsOpened_ = 0;
};
