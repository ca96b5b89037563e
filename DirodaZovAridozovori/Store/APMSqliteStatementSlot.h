#pragma once
// The statement of a write made for every event, kept by its user: the first run finds it in the
// store's cache (or prepares it), later runs take it from the slot without hashing its text.
//
// What the slot holds is one connection's cached statement, valid until that connection closes; a
// slot used with another store, or after the close, looks the statement up again. The slot knows
// its connection by the serial number the store drew when it opened, not by the store's address: a
// store opened later at the same address is another connection and must never be handed the
// statement finalized with the first.

#include <cstdint>
#include <string>
#include <utility>

struct sqlite3_stmt;

class APMSqliteStatementSlot {
 public:
  explicit APMSqliteStatementSlot(std::string sql) : sql_(std::move(sql)) {}
  APMSqliteStatementSlot(const APMSqliteStatementSlot&) = delete;
  APMSqliteStatementSlot& operator=(const APMSqliteStatementSlot&) = delete;

  const std::string& sql() const { return sql_; }
  // The statement kept for the connection with this serial number; null when none is kept for it.
  sqlite3_stmt* statementFor(uint64_t connectionSerial) const {
    return connectionSerial != 0 && connectionSerial == connectionSerial_ ? statement_ : nullptr;
  }
  void keep(uint64_t connectionSerial, sqlite3_stmt* statement) {
    connectionSerial_ = connectionSerial;
    statement_ = statement;
  }

 private:
  const std::string sql_;
  uint64_t connectionSerial_ = 0;
  sqlite3_stmt* statement_ = nullptr;
};
