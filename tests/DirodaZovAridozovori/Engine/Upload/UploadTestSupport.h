#pragma once
// A measurement database, persisted configuration and stored remote configuration in a fresh data
// directory, with the worker queue they belong to, for the bundling and upload tests.

#include <gtest/gtest.h>

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

namespace uploadtest {

class UploadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    persisted_ = APMPersistedConfig::sharedInstance();
    scheduler_ = std::make_shared<APMScheduler>("upload.tests.worker");
    open();
  }

  void TearDown() override {
    onWorker([&] {
      remoteConfig_.reset();
      database_.reset();
    });
    APMPersistedConfig::resetSharedInstanceForTesting();
  }

  // Opens (or reopens) the database and a configuration that is fresh unless told otherwise.
  void open(bool storeConfiguration = true, std::shared_ptr<APMPBMeasurementConfig> config = nullptr) {
    onWorker([&] {
      remoteConfig_.reset();
      database_.reset();
      platform::Error error;
      database_ = APMDatabase::create(APMDatabase::kDatabaseName, persisted_, scheduler_->workerQueue(), &error);
      ASSERT_TRUE(database_) << error.description;
      if (storeConfiguration) {
        auto stored = config ? config : APMPBMeasurementConfig::initWithMessageInfo();
        ASSERT_TRUE(database_->updateRemoteConfig(*stored, &error)) << error.description;
      }
      remoteConfig_ = APMRemoteConfig::create("1:1234:ios:abcd", database_, persisted_);
      ASSERT_TRUE(remoteConfig_);
    });
  }

  void onWorker(const std::function<void()>& block) { scheduler_->workerQueue()->sync(block); }

  // Stores metadata and one raw event per (name, timestamp); the metadata's fingerprint.
  int64_t storeEvents(const std::vector<std::pair<std::string, double>>& events,
                      const std::string& appID = "com.example.app", APMParameters parameters = {}) {
    int64_t fingerprint = 0;
    onWorker([&] {
      auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
      APMNanoSetInt32(*metadata, APMPBMeasurementBundle::kProtocolVersion, 1);
      APMNanoSetString(*metadata, APMPBMeasurementBundle::kAppId, appID);
      APMNanoSetString(*metadata, APMPBMeasurementBundle::kPlatform, std::string("macos"));
      platform::Error error;
      ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*metadata, &error));
      fingerprint = APMDatabase::metadataFingerprint(*metadata);
      for (const auto& [name, timestamp] : events) {
        auto event = APMEvent::create("app", name.empty() || name[0] != '_', name, timestamp, 0, parameters);
        ASSERT_TRUE(event);
        ASSERT_TRUE(database_->insertRawEvent(*event, fingerprint, false, &error)) << error.description;
      }
    });
    return fingerprint;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
};

// The names of a bundle's events, in order.
inline std::vector<std::string> eventNames(const APMPBMeasurementBundle& bundle) {
  std::vector<std::string> names;
  auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(bundle, APMPBMeasurementBundle::kEvents);
  for (const auto& event : events.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
    names.push_back(APMNanoGetString(*event, APMPBEvent::kName).value_or(""));
  }
  return names;
}

// An event parameter's integer value, if the event has it.
inline std::optional<int64_t> intParameter(const APMPBEvent& event, const std::string& name) {
  auto params = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(event, APMPBEvent::kParams);
  for (const auto& param : params.value_or(std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    if (APMNanoGetString(*param, APMPBEventParam::kName) == name) {
      return APMNanoGetInt64(*param, APMPBEventParam::kIntValue);
    }
  }
  return std::nullopt;
}

}  // namespace uploadtest
