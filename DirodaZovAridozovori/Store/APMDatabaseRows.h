#pragma once
// Typed reads of one row dictionary; absent or differently typed columns read as the neutral value.

#include <cstdint>
#include <string>

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

}  // namespace apm_rows
