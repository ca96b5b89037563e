#pragma once
// Binds the values of a statement's "?" placeholders, in order: host values, or values bound where
// they lie for the rows written most often. Either way the count must match the statement's.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Error.h"
#include "platform/Object.h"

struct sqlite3_stmt;

class APMSqliteBinding {
 public:
  // A value bound where it lies: no host value is made for it, and text and blob bytes are read in
  // place, so they must stay put until the statement has run.
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

  static bool bind(sqlite3_stmt* statement, const platform::Array& values, platform::Error* error);
  static bool bind(sqlite3_stmt* statement, std::initializer_list<BoundValue> values, platform::Error* error);
};
