#include "APMPersistedConfig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "StoreTestSupport.h"

using platform::Object;

namespace {

class APMPersistedConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { APMPersistedConfig::resetSharedInstanceForTesting(); }
  testsupport::ScopedDataDirectory dataDirectory_;
};

TEST_F(APMPersistedConfigTest, ValuesSurviveARestartUnderTheirKeys) {
  {
    auto config = APMPersistedConfig::sharedInstance();
    config->setAppInstanceID("instance-1");
    config->setSessionNumber(4);
    config->setMidnightOffset(-3600.0);
    config->setLastSessionActivityClockTime(1700000000.5);
    config->setAllowPersonalizedAds(false);
    config->setDefaultEventParameters(platform::Dictionary{{"tier", Object("gold")}});
    config->setDeferredDeepLinkRetrievalComplete(false);
    ASSERT_TRUE(config->synchronizeToDisk());
  }
  APMPersistedConfig::resetSharedInstanceForTesting();
  auto config = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(config->path(), APMApplicationSupportPath("com.diroda.dmp.measurement"));
  EXPECT_EQ(config->sessionNumber(), 4);
  EXPECT_EQ(config->allowPersonalizedAds(), false) << "a stored NO differs from nothing stored";
  EXPECT_EQ(config->defaultEventParameters(), (platform::Dictionary{{"tier", Object("gold")}}));
  EXPECT_TRUE(config->deferredDeepLinkRetrievalComplete()) << "present means done, whatever the value";
  auto file = platform::UserDefaults("check", config->path());
  EXPECT_EQ(file.object("/diroda/measurement/app_instance_id"), Object("instance-1"));
  EXPECT_EQ(file.object("/diroda/measurement/midnight_offset"), Object(-3600.0));
  EXPECT_EQ(file.object("/diroda/measurement/last_engagement_end"), Object(1700000000.5));
}

TEST_F(APMPersistedConfigTest, ACorruptFileReadsAsEmptyAndIsReplacedOnTheNextWrite) {
  const std::string path = APMApplicationSupportPath(APMPersistedConfig::kFileName);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "bplist00\x01\x02garbage";
  auto config = APMPersistedConfig::sharedInstance();
  EXPECT_FALSE(config->appInstanceID());
  config->setAppInstanceID("recovered");
  ASSERT_TRUE(config->synchronizeToDisk());
  APMPersistedConfig::resetSharedInstanceForTesting();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->appInstanceID(), "recovered");
}

TEST_F(APMPersistedConfigTest, WritersOnManyThreadsLoseNoUpdate) {
  auto config = APMPersistedConfig::sharedInstance();
  constexpr int64_t kWrites = 500;
  std::vector<std::thread> threads;
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->setSessionNumber(i); });
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->setSearchAdRetryCount(i); });
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->setDeferredDeepLinkRetryCount(i); });
  threads.emplace_back([&] {
    for (int64_t i = 1; i <= kWrites; ++i) {
      const int64_t seen = config->sessionNumber();
      EXPECT_TRUE(seen >= 0 && seen <= kWrites);
    }
  });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(config->synchronizeToDisk());
  APMPersistedConfig::resetSharedInstanceForTesting();
  auto reread = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(reread->sessionNumber(), kWrites);
  EXPECT_EQ(reread->searchAdRetryCount(), kWrites);
  EXPECT_EQ(reread->deferredDeepLinkRetryCount(), kWrites);
}

}  // namespace
