#include <gtest/gtest.h>

#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "Identity/APMIdentityEnvironment.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "TestSupport.h"
#include "platform/DispatchQueue.h"

namespace {

// The identity's two remote settings follow the configuration the engine publishes, and fall back
// to their defaults without one.
TEST(APMIdentityRemoteSettings, FollowThePublishedConfiguration) {
  testsupport::ScopedDataDirectory directory;
  auto worker = platform::DispatchQueue::create("test.identity.remote.worker");
  auto persisted = std::make_shared<APMPersistedConfig>(directory.path() + "/persisted.plist");
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMRemoteConfig> config;
  worker->sync([&] {
    platform::Error error;
    database = APMDatabase::create(APMDatabase::kDatabaseName, persisted, worker, &error);
    auto message = APMPBMeasurementConfig::initWithMessageInfo();
    APMNanoSetString(*message, 1, std::string("1:1:macos:identity"));
    std::vector<std::shared_ptr<APMPBSetting>> settings;
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"measurement.ad_id_cache_time", "60000"},
                                      {"measurement.attmas_gate", "1"}}) {
      auto setting = APMPBSetting::initWithMessageInfo();
      APMNanoSetString(*setting, 0, name);
      APMNanoSetString(*setting, 1, value);
      settings.push_back(setting);
    }
    APMNanoSetRepeatedField(*message, 3, settings);
    config = APMRemoteConfig::create("1:1:macos:identity", database, message, persisted);
  });
  ASSERT_TRUE(config);

  APMIdentitySetRemoteConfig(nullptr);
  EXPECT_EQ(APMIdentityRemoteAdIDCacheTime(), 1);
  EXPECT_FALSE(APMIdentityRemoteGateIDFAOnATTMASEnabled());

  APMIdentitySetRemoteConfig(config);
  EXPECT_EQ(APMIdentityRemoteAdIDCacheTime(), 60);
  EXPECT_TRUE(APMIdentityRemoteGateIDFAOnATTMASEnabled());

  // The identity does not keep a configuration alive once the engine lets it go.
  config.reset();
  EXPECT_EQ(APMIdentityRemoteAdIDCacheTime(), 1);
  worker->sync([&] { database.reset(); });
}

}  // namespace
