#include "APMSqliteBinding.h"

#include <sqlite3.h>

#include "APMSqliteErrors.h"
#include "APMStoreLog.h"

namespace {

bool countMatches(sqlite3_stmt* statement, size_t count, platform::Error* error) {
  const int expected = sqlite3_bind_parameter_count(statement);
  if (expected >= 0 && static_cast<size_t>(expected) == count) return true;
  return APMFail(error, kAPMStoreErrorInvalidArgument,
                 "Statement expects " + std::to_string(expected) + " parameter values, received " +
                     std::to_string(count));
}

}  // namespace

bool APMSqliteBinding::bind(sqlite3_stmt* statement, const platform::Array& values, platform::Error* error) {
  if (!countMatches(statement, values.size(), error)) return false;
  for (size_t i = 0; i < values.size(); ++i) {
    const platform::Object& value = values[i];
    const int index = static_cast<int>(i) + 1;
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
    if (rc != SQLITE_OK) {
      return APMSqliteFail(sqlite3_db_handle(statement), error, "Cannot bind parameter " + std::to_string(index));
    }
  }
  return true;
}

bool APMSqliteBinding::bind(sqlite3_stmt* statement, std::initializer_list<BoundValue> values, platform::Error* error) {
  if (!countMatches(statement, values.size(), error)) return false;
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
    if (rc != SQLITE_OK) {
      return APMSqliteFail(sqlite3_db_handle(statement), error, "Cannot bind parameter " + std::to_string(index));
    }
  }
  return true;
}
