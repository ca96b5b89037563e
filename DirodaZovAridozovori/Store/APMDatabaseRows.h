#pragma once
// Typed reads of one row dictionary (absent or differently typed columns read as the neutral value),
// and the binding of a list of row IDs.

#include <cstdint>
#include <string>
#include <vector>

#include "APMSqliteStore.h"

namespace apm_rows {

inline int64_t integer(const APMSqliteStore::Record& row, const char* column) {
  const platform::Object* value = platform::find(row, column);
  return value && value->isNumber() ? value->integerValue() : 0;
}

inline double real(const APMSqliteStore::Record& row, const char* column) {
  const platform::Object* value = platform::find(row, column);
  return value && value->isNumber() ? value->doubleValue() : 0;
}

inline std::string text(const APMSqliteStore::Record& row, const char* column) {
  const platform::Object* value = platform::find(row, column);
  return value && value->isString() ? value->stringValue() : std::string();
}

inline platform::Data data(const APMSqliteStore::Record& row, const char* column) {
  const platform::Object* value = platform::find(row, column);
  return value && value->isData() ? value->dataValue() : platform::Data();
}

inline bool has(const APMSqliteStore::Record& row, const char* column) { return platform::find(row, column) != nullptr; }

// The values and the "?, ?, …" text that bind a list of row IDs.
inline platform::Array rowIDValues(const std::vector<int64_t>& rowIDs) {
  platform::Array values;
  values.reserve(rowIDs.size());
  for (int64_t rowID : rowIDs) values.emplace_back(rowID);
  return values;
}

inline std::string placeholders(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
  return text;
}

}  // namespace apm_rows
