#include "APMSqliteErrors.h"

#include <sqlite3.h>

#include "APMStoreLog.h"

platform::Error APMSqliteError(int resultCode, const std::string& description) {
  platform::Error error = APMStoreError(kAPMStoreErrorSQLite, description);
  error.userInfo["sqlite_code"] = platform::Object(static_cast<int64_t>(resultCode));
  return error;
}

bool APMSqliteFail(sqlite3* db, platform::Error* error, const std::string& what) {
  if (!db) return APMFail(error, kAPMStoreErrorClosed, what + ": database is closed");
  platform::setError(error, APMSqliteError(sqlite3_extended_errcode(db), what + ": " + sqlite3_errmsg(db)));
  return false;
}
