#pragma once
// The errors SQLite's refusals become, shared by the store and its parts.

#include <string>

#include "platform/Error.h"

struct sqlite3;

// An error of kAPMStoreErrorSQLite with SQLite's result code under "sqlite_code".
platform::Error APMSqliteError(int resultCode, const std::string& description);
// Fills *error with the connection's last refusal ("what: SQLite's message"), or with
// kAPMStoreErrorClosed when there is no connection; false, so a failing path returns it.
bool APMSqliteFail(sqlite3* db, platform::Error* error, const std::string& what);
