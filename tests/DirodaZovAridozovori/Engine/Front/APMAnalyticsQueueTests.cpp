// The front's queues and the parts of it that work without an engine: holding operations until
// start, the hold after a waiting hand-off, refused starts, listener tokens, the answers given
// before start, and the persisted suite values.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "Front/APMBackwardCompatibilityUtil.h"
#include "APMUserDefaults.h"
#include "FrontTestFixture.h"

namespace fronttest {
namespace {

class RecordingList {
 public:
  void add(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
  }
  std::vector<int> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> values_;
};

TEST_F(FakeClockFrontTest, WaitingHandOffHoldsLaterOperationsForHalfASecond) {
  RecordingList ran;
  APMAnalytics::unsuspendOperationQueue();
  APMAnalytics::queueOperationWithBlockThenWait([&] { ran.add(1); });
  APMAnalytics::queueOperationWithBlock([&] { ran.add(2); });
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(ran.values(), std::vector<int>{1});
  EXPECT_TRUE(APMAnalytics::isOperationQueueSuspended());

  clock_->advance(0.4);
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(ran.values(), std::vector<int>{1});

  clock_->advance(0.2);
  EXPECT_TRUE(testsupport::waitFor([&] { return ran.values().size() == 2; }));
  EXPECT_EQ(ran.values(), (std::vector<int>{1, 2}));
  EXPECT_FALSE(APMAnalytics::isOperationQueueSuspended());
}

TEST_F(FrontTest, WaitingHandOffFromTheSerialQueueItselfReturns) {
  APMAnalytics::unsuspendOperationQueue();
  std::atomic<bool> returned{false};
  std::atomic<bool> innerRan{false};
  APMAnalytics::dispatchAsyncOnSerialQueue([&] {
    APMAnalytics::queueOperationWithBlockThenWait([&] { innerRan = true; });
    returned = true;
  });
  EXPECT_TRUE(testsupport::waitFor([&] { return returned.load(); }));
  EXPECT_TRUE(testsupport::waitFor([&] { return innerRan.load(); }));
}

TEST_F(FrontTest, StartIsRefusedWhileAnotherCollectorIsPresent) {
  struct Case {
    const char* what;
    const char* registeredClass;
    const char* origin;
    int64_t level;
    int64_t code;
  };
  const Case cases[] = {
      {"an older framework", APMAnalytics::kOlderFrameworkClassName, "fa", 1, 25029},
      {"the public API with another origin", APMAnalytics::kPublicAPIClassName, "app", 3, 25026},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ClassRegistry::reset();
    platform::ClassRegistry::registerClass(c.registeredClass);
    clearLog();
    APMAnalytics::startWithAppID(kAppID, c.origin, {});
    APMAnalytics::flushSerialQueueForTesting();
    auto lines = linesWithCode(c.code);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.level);
    EXPECT_FALSE(APMAnalytics::isStarted());
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());
    EXPECT_TRUE(APMAnalytics::isOperationQueueSuspended());
  }
}

TEST_F(FrontTest, ConsentIsPersistedUnderTheKeyOfItsSource) {
  struct Case {
    const char* key;
    const char* storedUnder;
    int64_t source;
  };
  const Case cases[] = {
      {APMAnalytics::kConsentSettingsKey, APMAnalytics::kConsentSettingsKey, 30},
      {APMAnalytics::kConsentSettings3PKey, APMAnalytics::kConsentSettings3PKey, 10},
      {APMAnalytics::kConsentSettingsTCFKey, APMAnalytics::kConsentSettingsTCFKey, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    APMAnalytics::clearConsent();
    APMAnalytics::setConsent({{"ad_storage", platform::Object("denied")}}, c.key);
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
    EXPECT_EQ(APMAnalytics::persistedConsentSource(), c.source);
    auto stored = APMAnalytics::userDefaults().dictionaryForKey(c.storedUnder);
    ASSERT_TRUE(stored);
    EXPECT_EQ(platform::Object(*stored)["ad_storage"], platform::Object("denied"));
    EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  }
  // The public API's settings outrank the front's own.
  APMAnalytics::clearConsent();
  APMAnalytics::setConsent({{"ad_storage", platform::Object("denied")}}, APMAnalytics::kConsentSettings3PKey);
  APMAnalytics::setConsent({{"ad_storage", platform::Object("granted")}}, APMAnalytics::kConsentSettingsKey);
  EXPECT_EQ(linesWithCode(25043).size(), 1u);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
}

TEST_F(FrontTest, PersistedConsentLoadsWithTheLowerOfItsSourceAndItsKeysRank) {
  struct Case {
    int64_t persistedSource;
    const char* storedUnder;
    int64_t expectedSource;
  };
  const Case cases[] = {
      {3, APMAnalytics::kConsentSettings3PKey, 3},
      {30, APMAnalytics::kConsentSettings3PKey, 20},
      {30, APMAnalytics::kConsentSettingsKey, 30},
      {50, APMAnalytics::kConsentSettingsKey, 40},
      {50, APMAnalytics::kConsentSettingsTCFKey, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.persistedSource) + " " + c.storedUnder);
    APMAnalytics::clearConsent();
    auto& defaults = APMAnalytics::userDefaults();
    defaults.setObject(platform::Object(platform::Dictionary{{"analytics_storage", platform::Object("denied")}}),
                       c.storedUnder);
    defaults.setInteger(c.persistedSource, APMAnalytics::kConsentSourceKey);
    APMAnalytics::loadPersistedConsentSettings();
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.expectedSource);
    EXPECT_TRUE(APMConsentSettingsUtil::isAnalyticsStorageDenied());
  }
}

TEST_F(FrontTest, ResetBeforeStartRecordsItsIntentAndKeepsTheNewIDUnlessStorageIsDenied) {
  APMAnalytics::resetAnalyticsData();
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 1);
  EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
  auto id = APMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  EXPECT_EQ(APMAnalytics::appInstanceID(), id);

  APMAnalytics::userDefaults().clearAllData();
  APMAnalytics::setConsent({{"analytics_storage", platform::Object("denied")}});
  APMAnalytics::resetAnalyticsData();
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 1);
  EXPECT_FALSE(APMAnalytics::appInstanceIDAfterReset());
  EXPECT_FALSE(APMAnalytics::appInstanceID());
}

}  // namespace
}  // namespace fronttest
