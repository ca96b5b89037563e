#pragma once
// The transactions of a store's connection: an exclusive transaction, and savepoints inside it.
//
// Every successful begin is ended exactly once, innermost first. The outermost scope is an exclusive
// transaction; one begun inside it is a savepoint, which is opened only when something is written
// inside it, so a scope that only reads costs nothing. A scope that has written nothing but INSERTs
// of single rows opens no savepoint either: a single statement lands whole or not at all, and should
// the scope be rolled back after all, its rows are deleted again by their row IDs, newest first.
//
// Part of its store's connection, confined like the store to the owner's queue.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

class APMSqliteStore;

class APMSqliteTransactions {
 public:
  explicit APMSqliteTransactions(APMSqliteStore& store) : store_(store) {}
  APMSqliteTransactions(const APMSqliteTransactions&) = delete;
  APMSqliteTransactions& operator=(const APMSqliteTransactions&) = delete;

  // Runs block inside an exclusive transaction; commits when it returns true, rolls back otherwise.
  // Called again from inside a block, it runs the inner block as a savepoint, so an inner false
  // undoes the inner block's changes only. A block that throws is rolled back and reported as a
  // failure. Returns whether the changes were kept.
  bool performTransactionWithError(platform::Error* error, const std::function<bool()>& block);
  bool inTransaction() const { return !scopes_.empty(); }

  // The same as a scope the caller holds.
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
  // Counts the savepoints actually opened (a scope that wrote nothing, or only its lone rows, opens
  // none).
  uint64_t savepointsOpened() const { return savepointsOpened_; }

  // For the store, about to write. Whether scopes wait for their savepoints.
  bool hasPendingSavepoints() const { return pendingSavepoints_ > 0; }
  // Opens the savepoints of the enclosing scopes that are not open yet, outermost first.
  bool openPendingSavepoints(platform::Error* error) { return openPendingSavepoints(scopes_.size(), error); }
  // The same for the scopes below depth `end` only.
  bool openPendingSavepoints(size_t end, platform::Error* error);
  // Whether an INSERT of one row now goes in without its scope's savepoint, as a lone row.
  bool insertsLoneRow() const { return pendingSavepoints_ > 0 && !scopes_.back().opened; }
  // A lone row went in: a rollback of its scope deletes it again.
  void noteLoneRow(const std::string& table, int64_t rowID) { loneRows_.push_back({table, rowID}); }
  // The connection closed, and its transaction with it.
  void connectionClosed();

 private:
  bool endScope(bool keep, platform::Error* error);
  // Undoes a scope's lone row as its rollback; whether it is gone.
  bool deleteLoneRow(const std::string& table, int64_t rowID, platform::Error* error);

  APMSqliteStore& store_;
  struct Scope {
    bool opened = false;      // its BEGIN or SAVEPOINT was issued
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
  uint64_t rollbackCount_ = 0;
  uint64_t transactionSerial_ = 0;
  uint64_t savepointsOpened_ = 0;
};
