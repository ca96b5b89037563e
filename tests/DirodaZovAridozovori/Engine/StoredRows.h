#pragma once
// The app and the moment every engine test starts from, and the raw-event rows an engine stored.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "APMMeasurement.h"

namespace enginetest {

inline constexpr const char* kAppID = "1:1234567890:macos:abcdef";
inline constexpr const char* kOtherAppID = "1:1234567890:macos:fedcba";
// 2023-11-14 10:00:00 UTC.
inline constexpr double kStartTime = 1699956000.0;

struct StoredRow {
  std::string name;
  std::string origin;
  double timestamp = 0;
  APMParameters parameters;
  int64_t fingerprint = 0;
  bool has(const std::string& parameter) const { return parameters.count(parameter) != 0; }
  int64_t integer(const std::string& parameter) const {
    auto found = parameters.find(parameter);
    return found == parameters.end() ? INT64_MIN : found->second.int64Value();
  }
  std::string text(const std::string& parameter) const {
    auto found = parameters.find(parameter);
    return found == parameters.end() ? "<absent>" : found->second.stringValue();
  }
};

// Every stored raw event in storage order; runs on the engine's worker queue.
inline std::vector<StoredRow> storedRows(APMMeasurement& engine) {
  std::vector<StoredRow> result;
  if (!engine.database()) return result;
  platform::Error error;
  auto stored = engine.database()->allRawEventsWithError(&error);
  EXPECT_TRUE(stored) << error.description;
  if (!stored) return result;
  auto sorted = *stored;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a->rowID() < b->rowID(); });
  for (const auto& row : sorted) {
    result.push_back({row->rawEvent()->name(), row->rawEvent()->origin(), row->rawEvent()->timestamp(),
                      row->rawEvent()->parameters(), row->metadataFingerprint()});
  }
  return result;
}

// The rows of one name; for "_err" rows, only those carrying the error code when one is given.
inline std::vector<StoredRow> rowsWithName(const std::vector<StoredRow>& rows, const std::string& name,
                                           std::optional<int64_t> errorCode = std::nullopt) {
  std::vector<StoredRow> matching;
  for (const auto& row : rows) {
    if (row.name == name && (!errorCode || row.integer("_err") == *errorCode)) matching.push_back(row);
  }
  return matching;
}

}  // namespace enginetest
