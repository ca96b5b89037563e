#pragma once
// One row of a query while it is stepped, read in place by column index (the order the query names
// them), without building a dictionary: bundling reads a thousand rows per group. Valid only inside
// the callback that receives it. A NULL or differently typed column reads as the neutral value, as
// apm_rows reads a dictionary.

#include <cstdint>
#include <span>
#include <string>

#include "platform/Object.h"

struct sqlite3_stmt;

class APMSqliteRow {
 public:
  explicit APMSqliteRow(sqlite3_stmt* statement) : statement_(statement) {}
  bool has(int column) const;
  int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  // The blob's bytes, as long as the row is current.
  std::span<const uint8_t> bytes(int column) const;
  // The row as a dictionary, column name to value; SQL NULL columns are absent.
  platform::Dictionary record() const;

 private:
  sqlite3_stmt* statement_;
};
