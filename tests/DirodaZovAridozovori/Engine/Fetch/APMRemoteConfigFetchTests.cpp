// The fetch's queue-free rules and its apply transaction over a real measurement database.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "../Upload/UploadTestSupport.h"
#include "APMMonitor.h"
#include "ConfigMessages.h"
#include "Fetch/APMNetworkLogBridge.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "Logger/DULLogger.h"

namespace fetchtest {
namespace {

constexpr const char* kAppID = "1:1234:ios:abcd";  // the fixture's configuration's app

TEST(ConfigFetchStatusTest, StatusesThatEndAFetchAndThatStartTheBackOff) {
  struct Case {
    int64_t status;
    bool success, backoff;
  } cases[] = {{200, true, false}, {204, true, false}, {304, true, false}, {404, true, false},
               {0, false, false},  {201, false, false}, {301, false, false}, {400, false, false},
               {429, false, true}, {500, false, false}, {503, false, true}, {502, false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(APMIsSuccessfulConfigFetchStatus(c.status), c.success) << c.status;
    EXPECT_EQ(APMIsBackoffConfigFetchStatus(c.status), c.backoff) << c.status;
  }
}

// The network client's levels (the core logger's 3 to 7) onto the monitor's, as numbers.
TEST(NetworkLogBridgeTest, NetworkLevelsMapOntoMonitorLevels) {
  const std::pair<int64_t, int64_t> rows[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {9, 3}, {0, 3}};
  for (const auto& [network, monitor] : rows) {
    EXPECT_EQ(APMLogLevelNumber(APMMonitorLevelForNetworkLevel(DULLoggerLevel{network})), monitor) << network;
  }
}

TEST(NetworkLogBridgeTest, NetworkLinesReachTheMonitorWithTheirCodeAndContext) {
  APMMonitor::resetSharedForTesting();
  std::mutex mutex;
  std::vector<DULLogRecord> records;
  DULLoggerSetSink([&](const DULLogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(record);
  });
  APMNetworkLogBridge bridge;
  struct Case {
    int networkLevel;
    int64_t code;
    int64_t expectedLoggerLevel;  // the printed line's level: monitor 4 and 3 print as warnings
  } cases[] = {{4, 900004, 4}, {5, 900005, 4}, {3, 900006, 3}};
  for (const auto& c : cases) {
    bridge.VIZUzedaru_logWithLevel(DULLoggerLevel{c.networkLevel}, c.code, "Request failed. Host",
                                   platform::Object("example.test"));
  }
  bridge.VIZUzedaru_logWithLevel(DULLoggerLevel{4}, 900007, "No context");
  APMMonitor::shared()->flush();
  DULLoggerFlush();
  DULLoggerSetSink(nullptr);
  for (const auto& c : cases) {
    const std::string code = "I-ACS" + std::to_string(c.code);
    auto found = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.messageCode == code; });
    ASSERT_NE(found, records.end()) << c.code;
    EXPECT_EQ(found->level, c.expectedLoggerLevel) << c.code;
    EXPECT_NE(found->line.find("Request failed. Host"), std::string::npos) << found->line;
    EXPECT_NE(found->line.find("example.test"), std::string::npos) << found->line;
  }
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) { return r.messageCode == "I-ACS900007"; }));
  APMMonitor::resetSharedForTesting();
}

class ApplyRemoteConfigTest : public uploadtest::UploadFixture {
 protected:
  APMRemoteConfigApplyResult apply(const platform::Data& body, APMAudienceUpdater audiences = nullptr) {
    APMRemoteConfigApplyResult result{};
    onWorker([&] {
      APMRemoteConfigApplyContext context{*database_, *remoteConfig_, std::string(kAppID), [this] { ++consentUpdates_; },
                                          std::move(audiences)};
      result = APMApplyRemoteConfig(body, context);
    });
    return result;
  }

  std::shared_ptr<APMPBMeasurementConfig> stored() {
    std::shared_ptr<APMPBMeasurementConfig> result;
    onWorker([&] {
      platform::Error error;
      result = database_->storedConfig().queryDecodedMeasurementConfigWithError(&error);
    });
    return result;
  }

  int32_t maxEventsPerDay() {
    int32_t value = 0;
    onWorker([&] { value = remoteConfig_->eventLimits().maxEventsPerDay(); });
    return value;
  }

  // The version of the message in force, which the bundles carry.
  int64_t versionInForce() {
    int64_t value = 0;
    onWorker([&] { value = remoteConfig_->message().version(); });
    return value;
  }

  int consentUpdates_ = 0;
};

TEST_F(ApplyRemoteConfigTest, AppliedConfigurationIsStoredWithoutItsAudiencesAndRefusedOnesChangeNothing) {
  std::vector<int32_t> received;
  auto result = apply(encodedConfig({kAppID, 1, {{"measurement.upload.max_events_per_day", "5000"}}, {}, {11, 12}}),
                      [&](APMDatabase&, APMRemoteConfig&, const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
                        for (const auto& audience : audiences)
                          received.push_back(APMNanoGetInt32(*audience, APMPBAudience::kAudienceId));
                        return true;
                      });
  ASSERT_EQ(result, APMRemoteConfigApplyResult::kApplied);
  EXPECT_EQ(received, (std::vector<int32_t>{11, 12}));
  EXPECT_EQ(consentUpdates_, 1);
  auto saved = stored();
  ASSERT_TRUE(saved);
  auto storedAudiences =
      APMNanoGetRepeatedField<std::shared_ptr<APMPBAudience>>(*saved, APMPBMeasurementConfig::kAudiences);
  EXPECT_TRUE(!storedAudiences || storedAudiences->empty());

  const platform::Data next = encodedConfig({kAppID, 2, {{"measurement.upload.max_events_per_day", "7000"}}, {}, {5}});
  auto failingAudiences = [](APMDatabase&, APMRemoteConfig&, const std::vector<std::shared_ptr<APMPBAudience>>&) { return false; };
  struct Case {
    const char* name;
    platform::Data body;
    APMAudienceUpdater audiences;
    APMRemoteConfigApplyResult expected;
  } cases[] = {
      {"undecodable", platform::Data{0xff, 0xff, 0xff}, nullptr, APMRemoteConfigApplyResult::kInvalidData},
      {"other app", encodedConfig({"1:999:macos:other", 2, {{"measurement.upload.max_events_per_day", "7000"}}}),
       nullptr, APMRemoteConfigApplyResult::kWrongAppID},
      {"no app ID", encodedConfig({"", 2, {{"measurement.upload.max_events_per_day", "7000"}}}), nullptr,
       APMRemoteConfigApplyResult::kWrongAppID},
      // The configuration was parsed into memory before the audiences failed: it must be undone.
      {"audiences refused", next, failingAudiences, APMRemoteConfigApplyResult::kAudiencesNotStored},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(apply(c.body, c.audiences), c.expected) << c.name;
    EXPECT_EQ(maxEventsPerDay(), 5000) << c.name;
    EXPECT_EQ(versionInForce(), 1) << c.name;
    auto saved = stored();
    ASSERT_TRUE(saved) << c.name;
    EXPECT_EQ(APMNanoGetInt64(*saved, APMPBMeasurementConfig::kVersion), 1) << c.name;
  }
}

}  // namespace
}  // namespace fetchtest
