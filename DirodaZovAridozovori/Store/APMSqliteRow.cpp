#include "APMSqliteRow.h"

#include <sqlite3.h>

#include <utility>

namespace {

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

bool APMSqliteRow::has(int column) const { return sqlite3_column_type(statement_, column) != SQLITE_NULL; }

int64_t APMSqliteRow::integer(int column) const {
  const int type = sqlite3_column_type(statement_, column);
  if (type == SQLITE_FLOAT) return platform::saturatingInt64(sqlite3_column_double(statement_, column));
  return type == SQLITE_INTEGER ? static_cast<int64_t>(sqlite3_column_int64(statement_, column)) : 0;
}

double APMSqliteRow::real(int column) const {
  const int type = sqlite3_column_type(statement_, column);
  return type == SQLITE_INTEGER || type == SQLITE_FLOAT ? sqlite3_column_double(statement_, column) : 0;
}

std::string APMSqliteRow::text(int column) const {
  if (sqlite3_column_type(statement_, column) != SQLITE_TEXT) return std::string();
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

std::span<const uint8_t> APMSqliteRow::bytes(int column) const {
  if (sqlite3_column_type(statement_, column) != SQLITE_BLOB) return {};
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::span<const uint8_t>(bytes, static_cast<size_t>(size)) : std::span<const uint8_t>();
}

platform::Dictionary APMSqliteRow::record() const {
  platform::Dictionary row;
  const int columns = sqlite3_column_count(statement_);
  for (int column = 0; column < columns; ++column) {
    platform::Object value = columnValue(statement_, column);
    if (value.isNull()) continue;
    row.emplace(sqlite3_column_name(statement_, column), std::move(value));
  }
  return row;
}
