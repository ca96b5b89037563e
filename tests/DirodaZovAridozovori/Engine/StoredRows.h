#pragma once
// The app and the moment every engine test starts from, the per-process state reset around each
// test, and what a test reads back from the engine it runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "APMEngineComponents.h"
#include "APMEExperimentRequestBuilder.h"
#include "APMEManager.h"
#include "APMMeasurement.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "Fetch/ConfigMessages.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

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
  auto stored = engine.database()->rawEvents().allRawEventsWithError(&error);
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

// Resets everything the front and the engine keep per process.
inline void resetProcess() {
  APMEManager::resetSharedInstanceForTesting();
  APMEExperimentRequestBuilder::resetSharedInstanceForTesting();
  APMESDKProperty::setDefaultDiversionKeyProvider(nullptr);
  // Engine and front tests choose their components; a public-API test takes the usual ones.
  APMSetEngineComponentEditorForTesting([](APMEngineComponentList) { return APMEngineComponentList{}; });
  APMSetAnalyticsHooks({});
  APMIdentity::setSharedInstance(nullptr);
  APMIdentifiers::resetSharedInstance();
  APMPersistedConfig::resetSharedInstanceForTesting();
  APMConsentSettingsUtil::reset();
  APMMonitor::resetSharedForTesting();
  platform::ClassRegistry::reset();
  platform::UserDefaultsRegistry::resetForTesting();
  platform::Bundle::reset();
  platform::Bundle::setBundleIdentifier("com.example.host");
  platform::Bundle::setShortVersion("1.0");
}

// What a test reads back from the engine its fixture runs, once the fixture's queues have drained.
class StoredState {
 protected:
  virtual ~StoredState() = default;
  virtual std::shared_ptr<APMMeasurement> measurement() = 0;
  virtual void drain() = 0;

  template <typename Work>
  void onWorker(Work work) {
    measurement()->setup().scheduler->workerQueue()->sync([&] { work(); });
  }

  std::vector<StoredRow> rows() {
    drain();
    std::vector<StoredRow> result;
    if (auto engine = measurement()) onWorker([&] { result = storedRows(*engine); });
    return result;
  }
  std::vector<StoredRow> rowsNamed(const std::string& name) { return rowsWithName(rows(), name); }
  std::vector<StoredRow> errorRowsWithCode(int64_t code) { return rowsWithName(rows(), "_err", code); }

  std::shared_ptr<APMUserAttribute> userProperty(const std::string& name) {
    drain();
    std::shared_ptr<APMUserAttribute> result;
    onWorker([&] { result = measurement()->database()->userProperties().userAttributeWithName(name, nullptr); });
    return result;
  }

  // Calls visit with each user property in the stored metadata of this fingerprint, on the worker.
  template <typename Visit>
  void visitMetadataUserProperties(int64_t fingerprint, Visit visit) {
    onWorker([&] {
      platform::Error error;
      auto metadata = measurement()->database()->rawEvents().queryRawEventsMetadataWithFingerprint(fingerprint, &error);
      ASSERT_TRUE(metadata) << error.description;
      auto attributes = APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(
          *metadata, APMPBMeasurementBundle::kUserAttributes);
      for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
        visit(*attribute);
      }
    });
  }

  // The names of the user properties in the stored metadata of this fingerprint.
  std::vector<std::string> metadataUserPropertyNames(int64_t fingerprint) {
    std::vector<std::string> names;
    visitMetadataUserProperties(fingerprint, [&](const APMPBUserAttribute& attribute) {
      names.push_back(APMNanoGetString(attribute, APMPBUserAttribute::kName).value_or(""));
    });
    return names;
  }

  // The string values of the user properties in the stored metadata of this fingerprint, by name.
  std::map<std::string, std::string> metadataStringUserProperties(int64_t fingerprint) {
    std::map<std::string, std::string> values;
    visitMetadataUserProperties(fingerprint, [&](const APMPBUserAttribute& attribute) {
      if (auto text = APMNanoGetString(attribute, APMPBUserAttribute::kStringValue)) {
        values[APMNanoGetString(attribute, APMPBUserAttribute::kName).value_or("")] = *text;
      }
    });
    return values;
  }

  // The integer values of the user properties in the stored metadata of this fingerprint, by name.
  std::map<std::string, int64_t> metadataIntegerUserProperties(int64_t fingerprint) {
    std::map<std::string, int64_t> values;
    visitMetadataUserProperties(fingerprint, [&](const APMPBUserAttribute& attribute) {
      if (APMNanoHasField(attribute, APMPBUserAttribute::kIntValue)) {
        values[APMNanoGetString(attribute, APMPBUserAttribute::kName).value_or("")] =
            APMNanoGetInt64(attribute, APMPBUserAttribute::kIntValue);
      }
    });
    return values;
  }

  // Remote settings and block-listed event names, applied as a fetched configuration would be.
  void applyConfig(const std::map<std::string, std::string>& settings, const std::vector<std::string>& blocked = {}) {
    auto config = fetchtest::configMessage({kAppID, 1, {settings.begin(), settings.end()}, blocked});
    onWorker([&] { ASSERT_TRUE(measurement()->remoteConfigInstance()->updateMeasurementConfig(config)); });
  }
};

}  // namespace enginetest
