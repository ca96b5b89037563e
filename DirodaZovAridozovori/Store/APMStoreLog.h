#pragma once
// The store's message codes (19000s for paths, 34000s for the SQLite store, 35000s for values) and
// its error values. Lines go out through APMLog.

#include <cstdint>
#include <string>

#include "APMError.h"
#include "APMLogChannel.h"
#include "platform/Error.h"

enum class APMStoreLogCode : int64_t {
  kNoApplicationSupportDirectory = 19001,
  kDatabaseFailedIntegrityCheck = 34001,
  kDatabaseOpenFailed = 34002,
  kDatabaseOffWorkerQueue = 34003,
  kUnreadableQueuedBundleDeleted = 34004,
  kUndecodableQueuedBundleDeleted = 34005,
  kUnreadableRawEventDeleted = 34006,
  kUnreadableUserPropertySkipped = 34007,
  kUnreadableConditionalPropertyEventDropped = 34008,
  kRawEventMetadataNotMoved = 34009,
  kValueFromNil = 35000,
  kValueFromUnsupportedObject = 35001,
};
template <>
inline constexpr bool kAPMIsLogCode<APMStoreLogCode> = true;

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
