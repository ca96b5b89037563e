#pragma once
// A measurement database, persisted configuration and stored remote configuration in a fresh data
// directory, with the worker queue they belong to, for the bundling, upload and fetch tests.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>

#include "APMDatabase.h"
#include "APMEvent.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMScheduler.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "TestSupport.h"
#include "platform/Gzip.h"

namespace uploadtest {

class UploadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    persisted_ = APMPersistedConfig::sharedInstance();
    scheduler_ = std::make_shared<APMScheduler>("upload.tests.worker");
    // A fresh stored configuration, so bundling may run.
    onWorker([&] {
      platform::Error error;
      database_ = APMDatabase::create(APMDatabase::kDatabaseName, persisted_, scheduler_->workerQueue(), &error);
      ASSERT_TRUE(database_) << error.description;
      ASSERT_TRUE(database_->storedConfig().updateRemoteConfig(*APMPBMeasurementConfig::initWithMessageInfo(), &error));
      remoteConfig_ = APMRemoteConfig::create("1:1234:ios:abcd", database_, persisted_);
      ASSERT_TRUE(remoteConfig_);
    });
  }

  void TearDown() override {
    onWorker([&] {
      remoteConfig_.reset();
      database_.reset();
    });
    APMPersistedConfig::resetSharedInstanceForTesting();
  }

  void onWorker(const std::function<void()>& block) { scheduler_->workerQueue()->sync(block); }

  // Stores metadata and one raw event per (name, timestamp).
  void storeEvents(const std::vector<std::pair<std::string, double>>& events,
                      const std::string& appID = "com.example.app", APMParameters parameters = {},
                   const std::string& consentSignals = "") {
    onWorker([&] {
      auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
      APMNanoSetInt32(*metadata, APMPBMeasurementBundle::kProtocolVersion, 1);
      APMNanoSetString(*metadata, APMPBMeasurementBundle::kAppId, appID);
      APMNanoSetString(*metadata, APMPBMeasurementBundle::kPlatform, std::string("macos"));
      if (!consentSignals.empty()) APMNanoSetString(*metadata, APMPBMeasurementBundle::kConsentSignals, consentSignals);
      platform::Error error;
      ASSERT_TRUE(database_->rawEvents().insertIfNotExistsRawEventMetadata(*metadata, &error));
      const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
      for (const auto& [name, timestamp] : events) {
        auto event = APMEvent::create("app", name.empty() || name[0] != '_', name, timestamp, 0, parameters);
        ASSERT_TRUE(event);
        ASSERT_TRUE(database_->rawEvents().insertRawEvent(*event, fingerprint, false, &error)) << error.description;
      }
    });
  }

  // Runs sql through a connection of the test's own; the first column of the rows it returns.
  std::vector<int64_t> runSQL(const std::string& sql) {
    std::string path;
    onWorker([&] { path = database_->databasePath(); });
    std::vector<int64_t> column;
    sqlite3* connection = nullptr;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &connection), SQLITE_OK);
    sqlite3_busy_timeout(connection, 5000);
    EXPECT_EQ(sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    int step = SQLITE_ERROR;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) column.push_back(sqlite3_column_int64(statement, 0));
    EXPECT_EQ(step, SQLITE_DONE) << sql;
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return column;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
};

// The bundles an upload's body carries, gunzipped unless the server library already did; none when
// it does not decode as a batch.
inline std::vector<std::shared_ptr<APMPBMeasurementBundle>> uploadedBundles(platform::Data body) {
  if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) body = platform::Gzip::inflate(body).value_or(platform::Data{});
  auto batch = APMPBMeasurementBatch::fromBuffer(body);
  if (!batch) return {};
  return APMNanoGetRepeatedField<std::shared_ptr<APMPBMeasurementBundle>>(*batch, APMPBMeasurementBatch::kBundles)
      .value_or(std::vector<std::shared_ptr<APMPBMeasurementBundle>>{});
}

// The names of a bundle's events, in order.
inline std::vector<std::string> eventNames(const APMPBMeasurementBundle& bundle) {
  std::vector<std::string> names;
  auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(bundle, APMPBMeasurementBundle::kEvents);
  for (const auto& event : events.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
    names.push_back(APMNanoGetString(*event, APMPBEvent::kName).value_or(""));
  }
  return names;
}

// A named entry (event parameter or user property) of a repeated field, if there is one.
template <typename Entry, typename Message>
std::shared_ptr<Entry> namedEntry(const Message& message, int field, const std::string& name) {
  auto entries = APMNanoGetRepeatedField<std::shared_ptr<Entry>>(message, field);
  for (const auto& entry : entries.value_or(std::vector<std::shared_ptr<Entry>>{})) {
    if (APMNanoGetString(*entry, Entry::kName) == name) return entry;
  }
  return nullptr;
}

inline std::optional<int64_t> intParameter(const APMPBEvent& event, const std::string& name) {
  auto param = namedEntry<APMPBEventParam>(event, APMPBEvent::kParams, name);
  return param ? std::optional<int64_t>(APMNanoGetInt64(*param, APMPBEventParam::kIntValue)) : std::nullopt;
}
inline std::optional<std::string> textParameter(const APMPBEvent& event, const std::string& name) {
  auto param = namedEntry<APMPBEventParam>(event, APMPBEvent::kParams, name);
  return param ? APMNanoGetString(*param, APMPBEventParam::kStringValue) : std::nullopt;
}
inline std::optional<int64_t> intUserProperty(const APMPBMeasurementBundle& bundle, const std::string& name) {
  auto attribute = namedEntry<APMPBUserAttribute>(bundle, APMPBMeasurementBundle::kUserAttributes, name);
  return attribute ? std::optional<int64_t>(APMNanoGetInt64(*attribute, APMPBUserAttribute::kIntValue))
                   : std::nullopt;
}

}  // namespace uploadtest
