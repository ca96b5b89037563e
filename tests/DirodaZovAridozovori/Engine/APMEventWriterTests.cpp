// The writer on its own, over a real database and a host of the test's making: what it stores and
// what it asks of its host once a group commits, or never when the group fails.
#include "APMEventWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "APMLogChannel.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "TestSupport.h"
#include "platform/DispatchQueue.h"

namespace {

constexpr double kNow = 1700000000;

class FakeWriterHost : public APMEventWriterHost {
 public:
  const std::shared_ptr<APMDatabase>& database() const override { return database_; }
  const std::shared_ptr<APMRemoteConfig>& remoteConfig() const override { return remoteConfig_; }
  const std::shared_ptr<APMIdentity>& identity() const override { return identity_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const override { return persisted_; }
  int32_t currentDayNumber() const override { return 19675; }
  bool isSessionExpired() override { return false; }
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>&) override {
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppId, std::string("1:1:macos:writer"));
    if (withResettableDeviceID) {
      APMNanoSetString(*bundle, APMPBMeasurementBundle::kResettableDeviceId, std::string("device"));
    }
    return bundle;
  }
  void logInternalEvent(const std::string&, const std::string& name, const platform::Dictionary&) override {
    internalEvents.push_back(name);
  }
  void setLastAdvertisingIDResetUserProperty() override {}
  void logFirstOpenConsentedEvent(double timestamp) override { consentedFirstOpens.push_back(timestamp); }
  void updateSchedule() override {}
  const APMEngineComponentList& engineComponents() const override { return components_; }

  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  APMEngineComponentList components_;
  bool withResettableDeviceID = false;
  std::vector<std::string> internalEvents;
  std::vector<double> consentedFirstOpens;
};

class APMEventWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_->sync([&] {
      platform::Error error;
      host_.database_ = APMDatabase::create(APMDatabase::kDatabaseName, nullptr, queue_, &error);
      ASSERT_TRUE(host_.database_) << error.description;
      host_.persisted_ = std::make_shared<APMPersistedConfig>(dataDirectory_.path() + "/persisted.plist");
      host_.remoteConfig_ = APMRemoteConfig::create("1:1:macos:writer", host_.database_, host_.persisted_);
      ASSERT_TRUE(host_.remoteConfig_);
    });
  }
  void TearDown() override {
    queue_->sync([&] { host_ = FakeWriterHost(); });
  }

  // Writes the named events in one group; with failGroup the group's body throws after them.
  APMEventWriter::GroupResult writeGroup(const std::vector<std::string>& names, bool failGroup = false) {
    APMEventWriter::GroupResult result = APMEventWriter::GroupResult::NotBegun;
    queue_->sync([&] {
      APMEventWriter writer(host_);
      platform::Error error;
      result = writer.writeGroup(
          [&] {
            for (const auto& name : names) writer.writeFilteredEvent(APMEvent::create("auto", false, name, kNow, 0, platform::Dictionary{}));
            if (failGroup) throw std::runtime_error("the group fails");
          },
          &error);
    });
    return result;
  }

  // Writes the events in one group.
  APMEventWriter::GroupResult writeGroup(const std::vector<std::shared_ptr<APMEvent>>& events) {
    APMEventWriter::GroupResult result = APMEventWriter::GroupResult::NotBegun;
    queue_->sync([&] {
      APMEventWriter writer(host_);
      platform::Error error;
      result = writer.writeGroup([&] { for (const auto& event : events) writer.writeFilteredEvent(event); }, &error);
    });
    return result;
  }

  size_t storedRows() {
    size_t count = 0;
    queue_->sync([&] {
      count = host_.database_->rawEvents()
                  .allRawEventsWithError(nullptr)
                  .value_or(std::vector<std::shared_ptr<APMRawEventData>>{})
                  .size();
    });
    return count;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("com.diroda.zora.worker");
  FakeWriterHost host_;
};

// A stored first open counts once the group commits: an unset or negative count starts again at
// one, the largest count stays where it is, and a failed group counts nothing.
TEST_F(APMEventWriterTest, AStoredFirstOpenRaisesThePreviousFirstOpenCountOnceItCommits) {
  struct Case {
    const char* name;
    std::optional<int64_t> before;
    bool failGroup;
    int64_t after;
    size_t rows;
  };
  const Case cases[] = {
      {"unset", std::nullopt, false, 1, 1},
      {"zero", 0, false, 1, 1},
      {"negative", -3, false, 1, 1},
      {"counted_before", 5, false, 6, 1},
      {"largest", INT64_MAX, false, INT64_MAX, 1},
      {"failed_group", 5, true, 5, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    queue_->sync([&] {
      host_.persisted_->attribution().setPreviousFirstOpenCount(c.before);
      host_.database_->reset(nullptr);
    });
    const auto result = writeGroup({"_f"}, c.failGroup);
    EXPECT_EQ(result, c.failGroup ? APMEventWriter::GroupResult::Failed : APMEventWriter::GroupResult::Committed);
    EXPECT_EQ(storedRows(), c.rows);
    EXPECT_EQ(host_.persisted_->attribution().previousFirstOpenCount().value_or(0), c.after);
  }
}

// Events stored with a resettable device ID after a first open stored without one ask the host
// for the consented first open, once per event and only once the group has committed; a first
// open stored without it marks the first open as unmatched instead.
TEST_F(APMEventWriterTest, TheHostHearsOfAConsentedFirstOpenOnlyAfterTheCommit) {
  struct Case {
    const char* name;
    bool withDeviceID;
    bool unmatchedBefore;
    std::vector<std::string> events;
    bool failGroup;
    size_t consentedFirstOpens;
    bool unmatchedAfter;
  };
  const Case cases[] = {
      {"device_id_after_unmatched", true, true, {"a", "b"}, false, 2, true},
      {"device_id_group_fails", true, true, {"a"}, true, 0, true},
      {"device_id_without_unmatched", true, false, {"a"}, false, 0, false},
      {"first_open_without_device_id", false, false, {"_f"}, false, 0, true},
      {"first_open_without_device_id_fails", false, false, {"_f"}, true, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.withResettableDeviceID = c.withDeviceID;
    host_.consentedFirstOpens.clear();
    queue_->sync([&] { host_.persisted_->attribution().setUnmatchedFirstOpenWithoutIDFA(c.unmatchedBefore); });
    writeGroup(c.events, c.failGroup);
    EXPECT_EQ(host_.consentedFirstOpens, std::vector<double>(c.consentedFirstOpens, kNow));
    EXPECT_EQ(host_.persisted_->attribution().unmatchedFirstOpenWithoutIDFA(), c.unmatchedAfter);
  }
}

// The stored real-time column says whether the row travels in a real-time bundle: an event keeps
// its own mark while the day's real-time count is under its limit (10 by default; "_dcu" events
// have their own, 1), and a conversion is real-time while the count allows it, or always when the
// limit does not apply to it ("_f").
TEST_F(APMEventWriterTest, TheStoredRealtimeColumnFollowsTheMarkAndTheDailyLimits) {
  struct Case {
    const char* name;
    const char* event;
    bool marked;
    int32_t realtimeCount;
    int32_t dcuRealtimeCount;
    int64_t column;
    bool markKept;
  };
  const Case cases[] = {
      {"marked_under_limit", "rt", true, 9, 0, 1, true},
      {"marked_at_limit", "rt", true, 10, 0, 0, false},
      {"unmarked", "rt", false, 0, 0, 0, false},
      {"dcu_at_general_limit", "_dcu", true, 10, 0, 1, true},
      {"dcu_at_own_limit", "_dcu", true, 0, 1, 0, false},
      {"conversion_under_limit", "purchase", false, 9, 0, 1, false},
      {"conversion_at_limit", "purchase", false, 10, 0, 0, false},
      {"first_open_at_limit", "_f", false, 10, 0, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    queue_->sync([&] {
      host_.database_->reset(nullptr);
      APMDailyCounts counts;
      counts.resetWithNewDay(19675);
      counts.realtimeCount = c.realtimeCount;
      counts.dcuRealtimeCount = c.dcuRealtimeCount;
      ASSERT_TRUE(host_.database_->appMetadata().updateDailyCounts(counts, nullptr));
    });
    platform::Dictionary parameters;
    if (c.marked) parameters["_r"] = int64_t{1};
    ASSERT_EQ(writeGroup({APMEvent::create("auto", false, c.event, kNow, 0, parameters)}),
              APMEventWriter::GroupResult::Committed);
    queue_->sync([&] {
      auto rows = host_.database_->connection().query("SELECT realtime FROM raw_events", {}, nullptr);
      ASSERT_TRUE(rows && rows->size() == 1);
      EXPECT_EQ(platform::find(rows->front(), "realtime")->integerValue(), c.column);
      auto events = host_.database_->rawEvents().allRawEventsWithError(nullptr);
      ASSERT_TRUE(events && events->size() == 1);
      EXPECT_EQ(events->front()->rawEvent()->isRealtime(), c.markKept);
    });
  }
}

// Debug mode makes every event of a group debug and real-time and lets the road's debug lines
// through; a group reads it when it begins, so a switch between two groups reaches the next one,
// whichever way it goes.
TEST_F(APMEventWriterTest, DebugModeSwitchedBetweenGroupsReachesTheNextGroup) {
  std::vector<int64_t> codes;
  APMSetLogSink([&](int64_t, int64_t code, const std::string&, const APMMonitorContexts&) { codes.push_back(code); });
  struct Step {
    bool debugMode;
    int64_t realtime;
    bool debug;
    size_t eventLoggedLines;
  };
  const Step steps[] = {{false, 0, false, 0}, {true, 1, true, 1}, {false, 0, false, 0}, {true, 1, true, 1}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    APMMonitor::shared()->setDebugModeEnabled(steps[i].debugMode);
    codes.clear();
    ASSERT_EQ(writeGroup({"a"}), APMEventWriter::GroupResult::Committed);
    queue_->sync([&] {
      auto rows = host_.database_->connection().query("SELECT realtime FROM raw_events ORDER BY rowid", {}, nullptr);
      ASSERT_TRUE(rows && rows->size() == i + 1);
      EXPECT_EQ(platform::find(rows->back(), "realtime")->integerValue(), steps[i].realtime);
      auto events = host_.database_->rawEvents().allRawEventsWithError(nullptr);
      ASSERT_TRUE(events && events->size() == i + 1);
      EXPECT_EQ(events->back()->rawEvent()->isDebug(), steps[i].debug);
    });
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int64_t{23072}), static_cast<long>(steps[i].eventLoggedLines));
  }
  APMMonitor::shared()->setDebugModeEnabled(false);
  APMSetLogSink(nullptr);
}

}  // namespace
