#pragma once
// The store's one path to the measurement log and its error values.
//
// Store code logs through APMStoreLog only, so the sink can be pointed at the SDK monitor by the
// layer that owns it without the store depending on the monitor's shape. Message codes are the
// monitor's numeric codes (34000s for the SQLite store, 19000s for paths, 35000s for values).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "APMError.h"
#include "APMMonitorContext.h"
#include "platform/Error.h"
#include "platform/Object.h"

// Receives every store log line: level 0-8, message code, message, contexts.
using APMStoreLogSink =
    std::function<void(int level, int64_t code, const std::string& message, const APMMonitorContexts& contexts)>;

// Replaces the sink (nullptr restores the default, the shared APMMonitor).
void APMSetStoreLogSink(APMStoreLogSink sink);

void APMStoreLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts = {});

// Error codes the store produces itself.
enum APMStoreErrorCode : int64_t {
  kAPMStoreErrorInvalidArgument = 1,  // an empty name, path or value refused before touching storage
  kAPMStoreErrorCorruptData = 2,      // stored bytes that do not decode
  kAPMStoreErrorWrongQueue = 3,       // a queue-confined object used off its queue
  kAPMStoreErrorSQLite = 4,           // SQLite refused; userInfo "sqlite_code" holds its result code
  kAPMStoreErrorClosed = 5,           // the database is not open
  kAPMStoreErrorFileSystem = 6,       // a file could not be removed or marked
};

// An error of the SDK domain (see APMError).
platform::Error APMStoreError(int64_t code, const std::string& description);
// Fills *error (when given) and returns false, so a failing path reads `return APMFail(error, ...)`.
bool APMFail(platform::Error* error, int64_t code, const std::string& description);
