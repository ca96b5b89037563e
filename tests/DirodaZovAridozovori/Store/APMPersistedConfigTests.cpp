#include "APMPersistedConfig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
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
    config->identifiers().setAppInstanceID("instance-1");
    config->session().setSessionNumber(4);
    config->session().setMidnightOffset(-3600.0);
    config->session().setLastSessionActivityClockTime(1700000000.5);
    config->consent().setAllowPersonalizedAds(false);
    config->setDefaultEventParameters(platform::Dictionary{{"tier", Object("gold")}});
    config->attribution().setDeferredDeepLinkRetrievalComplete(false);
    ASSERT_TRUE(config->synchronizeToDisk());
  }
  APMPersistedConfig::resetSharedInstanceForTesting();
  auto config = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(config->path(), APMApplicationSupportPath("com.diroda.dmp.measurement"));
  EXPECT_EQ(config->session().sessionNumber(), 4);
  EXPECT_EQ(config->consent().allowPersonalizedAds(), false) << "a stored NO differs from nothing stored";
  EXPECT_EQ(config->defaultEventParameters(), (platform::Dictionary{{"tier", Object("gold")}}));
  EXPECT_TRUE(config->attribution().deferredDeepLinkRetrievalComplete()) << "present means done, whatever the value";
  auto file = platform::UserDefaults("check", config->path());
  EXPECT_EQ(file.object("/diroda/measurement/app_instance_id"), Object("instance-1"));
  EXPECT_EQ(file.object("/diroda/measurement/midnight_offset"), Object(-3600.0));
  EXPECT_EQ(file.object("/diroda/measurement/last_engagement_end"), Object(1700000000.5));
}

// Each group of values is written through its own part; the file must still hold every one under
// the key earlier releases wrote, and one clear must empty all of them.
TEST_F(APMPersistedConfigTest, EveryPartWritesUnderItsKeysInTheOneFileAndOneClearEmptiesThemAll) {
  struct Case {
    const char* key;
    std::function<void(APMPersistedConfig&)> write;
    Object stored;
  };
  const platform::Data campaign{0x0a, 0x01};
  const std::vector<Case> cases = {
      {"app_id_from_dmp", [](auto& c) { c.identifiers().setAppIDFromDMP("1:dmp"); }, Object("1:dmp")},
      {"app_id_from_zi_roz", [](auto& c) { c.identifiers().setAppIDFromZiRoz("1:zr"); }, Object("1:zr")},
      {"app_instance_id", [](auto& c) { c.identifiers().setAppInstanceID("aiid"); }, Object("aiid")},
      {"hashed_idfa", [](auto& c) { c.identifiers().setHashedResettableDeviceID("h"); }, Object("h")},
      {"diversion_key", [](auto& c) { c.identifiers().setDiversionKey("dk"); }, Object("dk")},
      {"should_set_lair", [](auto& c) { c.identifiers().setShouldSetLastAdvertisingIDResetUserProperty(true); },
       Object(true)},
      {"app_version", [](auto& c) { c.identifiers().setAppVersion("2.1"); }, Object("2.1")},
      {"os_version", [](auto& c) { c.identifiers().setOsVersion("14.0"); }, Object("14.0")},
      {"session_number", [](auto& c) { c.session().setSessionNumber(int64_t{7}); }, Object(int64_t{7})},
      {"session_timeout", [](auto& c) { c.session().setSessionTimeoutValue(1800.0); }, Object(1800.0)},
      {"last_engagement_end", [](auto& c) { c.session().setLastSessionActivityClockTime(5.5); }, Object(5.5)},
      {"midnight_offset", [](auto& c) { c.session().setMidnightOffset(-60.0); }, Object(-60.0)},
      {"measurement_enabled_state", [](auto& c) { c.consent().setMeasurementEnabledState(int64_t{2}); },
       Object(int64_t{2})},
      {"allow_personalized_ads", [](auto& c) { c.consent().setAllowPersonalizedAds(false); }, Object(false)},
      {"previous_consent_signals", [](auto& c) { c.consent().setPreviousBundledConsentSignals("G1"); }, Object("G1")},
      {"load_timestamp", [](auto& c) { c.attribution().setLoadTimestampValue(10.0); }, Object(10.0)},
      {"first_open_time", [](auto& c) { c.attribution().setFirstOpenTimestampMilliseconds(int64_t{3000}); },
       Object(int64_t{3000})},
      {"previous_first_open_count", [](auto& c) { c.attribution().setPreviousFirstOpenCount(int64_t{2}); },
       Object(int64_t{2})},
      {"unmatched_first_open_without_idfa", [](auto& c) { c.attribution().setUnmatchedFirstOpenWithoutIDFA(true); },
       Object(true)},
      {"ad_campaign_info_buffer", [&](auto& c) { c.attribution().setAdCampaignInfoBuffer(campaign); }, Object(campaign)},
      {"is_search_ad_campaign", [](auto& c) { c.attribution().setSearchAdCampaignValue(true); }, Object(true)},
      {"search_ad_number_of_retries", [](auto& c) { c.attribution().setSearchAdRetryCount(int64_t{3}); },
       Object(int64_t{3})},
      {"search_ad_last_attempt_timestamp", [](auto& c) { c.attribution().setLastSearchAdLookUpTimestamp(20.0); },
       Object(20.0)},
      {"deep_link_retrieval_complete", [](auto& c) { c.attribution().setDeferredDeepLinkRetrievalComplete(true); },
       Object(true)},
      {"deep_link_retry_count", [](auto& c) { c.attribution().setDeferredDeepLinkRetryCount(int64_t{4}); },
       Object(int64_t{4})},
      {"last_monitor_sample_time", [](auto& c) { c.uploadSchedule().setLastMonitorDataSampledTimestamp(30.0); },
       Object(30.0)},
      {"last_backoff_time", [](auto& c) { c.uploadSchedule().setLastBackoffTimestamp(40.0); }, Object(40.0)},
      {"last_upload_success_time", [](auto& c) { c.uploadSchedule().setLastSuccessfulUploadTimestamp(50.0); },
       Object(50.0)},
      {"last_upload_failure_time", [](auto& c) { c.uploadSchedule().setLastFailedUploadTimestamp(60.0); },
       Object(60.0)},
      {"config_version", [](auto& c) { c.configDownload().setConfigDMPVersion(int64_t{111}); }, Object(int64_t{111})},
      {"config_last_modified", [](auto& c) { c.configDownload().setConfigServerLastModifiedString("Mon"); },
       Object("Mon")},
      {"config_etag", [](auto& c) { c.configDownload().setConfigServerETag("\"e1\""); }, Object("\"e1\"")},
      {"zoredode_feature_rollouts", [](auto& c) { c.setZoredodeFeatureRollouts("r"); }, Object("r")},
  };
  auto config = APMPersistedConfig::sharedInstance();
  for (const auto& c : cases) c.write(*config);
  ASSERT_TRUE(config->synchronizeToDisk());
  {
    auto file = platform::UserDefaults("check", config->path());
    for (const auto& c : cases) EXPECT_EQ(file.object(std::string("/diroda/measurement/") + c.key), c.stored) << c.key;
  }

  config->clearValues();
  ASSERT_TRUE(config->synchronizeToDisk());
  auto file = platform::UserDefaults("check", config->path());
  for (const auto& c : cases) EXPECT_TRUE(file.object(std::string("/diroda/measurement/") + c.key).isNull()) << c.key;
  EXPECT_EQ(config->session().sessionNumber(), 0);
  EXPECT_FALSE(config->identifiers().shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_FALSE(config->attribution().deferredDeepLinkRetrievalComplete());
  EXPECT_FALSE(config->attribution().adCampaignInfoBuffer());
  EXPECT_EQ(config->configDownload().configDMPVersion(), 0);
  EXPECT_EQ(config->uploadSchedule().lastBackoffTimestamp(), 0);
}

TEST_F(APMPersistedConfigTest, ACorruptFileReadsAsEmptyAndIsReplacedOnTheNextWrite) {
  const std::string path = APMApplicationSupportPath(APMPersistedConfig::kFileName);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "bplist00\x01\x02garbage";
  auto config = APMPersistedConfig::sharedInstance();
  EXPECT_FALSE(config->identifiers().appInstanceID());
  config->identifiers().setAppInstanceID("recovered");
  ASSERT_TRUE(config->synchronizeToDisk());
  APMPersistedConfig::resetSharedInstanceForTesting();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->identifiers().appInstanceID(), "recovered");
}

TEST_F(APMPersistedConfigTest, WritersOnManyThreadsLoseNoUpdate) {
  auto config = APMPersistedConfig::sharedInstance();
  constexpr int64_t kWrites = 500;
  std::vector<std::thread> threads;
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->session().setSessionNumber(i); });
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->attribution().setSearchAdRetryCount(i); });
  threads.emplace_back([&] { for (int64_t i = 1; i <= kWrites; ++i) config->attribution().setDeferredDeepLinkRetryCount(i); });
  threads.emplace_back([&] {
    for (int64_t i = 1; i <= kWrites; ++i) {
      const int64_t seen = config->session().sessionNumber();
      EXPECT_TRUE(seen >= 0 && seen <= kWrites);
    }
  });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(config->synchronizeToDisk());
  APMPersistedConfig::resetSharedInstanceForTesting();
  auto reread = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(reread->session().sessionNumber(), kWrites);
  EXPECT_EQ(reread->attribution().searchAdRetryCount(), kWrites);
  EXPECT_EQ(reread->attribution().deferredDeepLinkRetryCount(), kWrites);
}

}  // namespace
