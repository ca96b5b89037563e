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

TEST_F(FrontTest, OperationsQueuedBeforeStartRunAfterReleaseInCallOrder) {
  RecordingList ran;
  for (int i = 0; i < 50; ++i) APMAnalytics::queueOperationWithBlock([&ran, i] { ran.add(i); });
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_TRUE(ran.values().empty());
  EXPECT_TRUE(APMAnalytics::isOperationQueueSuspended());

  APMAnalytics::unsuspendOperationQueue();
  for (int i = 50; i < 60; ++i) APMAnalytics::queueOperationWithBlock([&ran, i] { ran.add(i); });
  APMAnalytics::flushSerialQueueForTesting();
  std::vector<int> expected;
  for (int i = 0; i < 60; ++i) expected.push_back(i);
  EXPECT_EQ(ran.values(), expected);
}

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

TEST_F(FrontTest, StartOptionsAreCheckedBeforeTheEngineIsCreated) {
  struct Case {
    const char* what;
    platform::Dictionary options;
    int64_t code;  // 0: none of the checked codes
  };
  const Case cases[] = {
      {"empty log tag", {{APMAnalytics::kOptionLogTag, platform::Object("")}}, 25030},
      {"log tag not a string", {{APMAnalytics::kOptionLogTag, platform::Object(7)}}, 25030},
      {"safelist not an array",
       {{APMAnalytics::kOptionLogTag, platform::Object("[T]")},
        {APMAnalytics::kOptionSafelistedEvents, platform::Object("_s")}},
       25034},
      {"safelist with a bad name",
       {{APMAnalytics::kOptionLogTag, platform::Object("[T]")},
        {APMAnalytics::kOptionSafelistedEvents, platform::Object(platform::Array{platform::Object("_s"),
                                                                                  platform::Object("9bad")})}},
       25035},
      {"valid", {{APMAnalytics::kOptionLogTag, platform::Object("[T]")}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    APMAnalytics::startWithAppID(kAppID, "fa", c.options);
    drain();
    for (int64_t code : {25030, 25034, 25035}) {
      EXPECT_EQ(linesWithCode(code).size(), code == c.code ? 1u : 0u) << code;
    }
    EXPECT_TRUE(APMAnalytics::isStarted());
  }
  EXPECT_EQ(APMMeasurement::monitor()->logTag(), "[T]");
}

TEST_F(FrontTest, ListenersHearEventsUntilRemovedAndUnknownTokensAreReportedByWhetherAnyWasAdded) {
  APMAnalytics::unsuspendOperationQueue();
  APMAnalytics::removeLogEventListener(0);
  APMAnalytics::removeLogEventListener(12345);
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(linesWithCode(25013).size(), 1u);
  EXPECT_EQ(linesWithCode(25014).size(), 1u);
  EXPECT_EQ(linesWithCode(25015).size(), 0u);

  std::vector<std::string> heard;
  auto token = APMAnalytics::addLogEventListener([&](const std::shared_ptr<APMEvent>& e) { heard.push_back(e->name()); });
  EXPECT_NE(token, 0u);
  EXPECT_EQ(APMAnalytics::addLogEventListener(nullptr), 0u);
  EXPECT_EQ(linesWithCode(25012).size(), 1u);
  APMAnalytics::notifyEventListeners(APMEvent::create("app", true, "one", 1, 0, platform::Dictionary{}));
  APMAnalytics::notifyEventListeners(APMEvent::create("app", true, "two", 2, 0, platform::Dictionary{}));
  APMAnalytics::removeLogEventListener(token + 1000);
  APMAnalytics::removeLogEventListener(token);
  APMAnalytics::removeLogEventListener(token);
  APMAnalytics::notifyEventListeners(APMEvent::create("app", true, "three", 3, 0, platform::Dictionary{}));
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(heard, (std::vector<std::string>{"one", "two"})) << "listeners hear events in order until removed";
  EXPECT_EQ(linesWithCode(25014).size(), 1u);
  EXPECT_EQ(linesWithCode(25015).size(), 2u);
}

TEST_F(FrontTest, MaxUserPropertiesIsAnsweredAtOnceWithoutAnEngine) {
  auto queue = platform::DispatchQueue::create("test.callback");
  std::atomic<int64_t> answer{-1};
  APMAnalytics::sharedInstance().maxUserPropertiesForOrigin("app", queue, [&](int64_t n) { answer = n; });
  // The operation queue is still held (no start): the answer must not wait for it.
  EXPECT_TRUE(testsupport::waitFor([&] { return answer.load() != -1; }));
  EXPECT_EQ(answer.load(), 25);

  struct Case {
    const char* what;
    std::string origin;
    bool withQueue;
    bool withCallback;
    int64_t code;
  };
  const Case cases[] = {
      {"empty origin", "", true, true, 25009},
      {"no queue", "app", false, true, 25010},
      {"no callback", "app", true, false, 25011},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    APMAnalytics::sharedInstance().maxUserPropertiesForOrigin(
        c.origin, c.withQueue ? queue : nullptr, c.withCallback ? std::function<void(int64_t)>([](int64_t) {}) : nullptr);
    EXPECT_EQ(linesWithCode(c.code).size(), 1u);
  }
}

TEST_F(FrontTest, QueriesBeforeStartAnswerWithTheirFallbacks) {
  std::atomic<bool> answered{false};
  int64_t sessionID = -1;
  std::optional<platform::Error> error;
  APMAnalytics::sessionIDWithCompletion([&](int64_t id, std::optional<platform::Error> e) {
    sessionID = id;
    error = e;
    answered = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return answered.load(); }));
  EXPECT_EQ(sessionID, 0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 13);
  EXPECT_EQ(error->description, "Analytics uninitialized");

  APMAnalytics::sessionIDWithCompletion(nullptr);
  APMAnalytics::setSessionTimeoutInterval(-1);
  APMAnalytics::setSessionTimeoutInterval(600);
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(linesWithCode(25050).size(), 1u);
  EXPECT_EQ(linesWithCode(25060).size(), 1u);
  ASSERT_EQ(linesWithCode(25059).size(), 1u);
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->sessionTimeoutValue(), 600);
}

TEST_F(FrontTest, SetEnabledNotificationsFollowTheConfigurationObject) {
  int configuration = 0;
  int stranger = 0;
  APMAnalytics::observeNotificationsForAnalyticsConfiguration(&configuration);
  auto& center = platform::NotificationCenter::defaultCenter();
  const std::string key = APMAnalytics::kSetEnabledNotification;
  center.post(key, &configuration, {{key, platform::Object("yes")}});
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_EQ(linesWithCode(25000).size(), 1u);

  center.post(key, &configuration, {{key, platform::Object(true)}});
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_TRUE(APMAnalytics::isAnalyticsCollectionEnabled());
  center.post(key, &stranger, {{key, platform::Object(false)}});
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_TRUE(APMAnalytics::isAnalyticsCollectionEnabled());
  center.post(key, &configuration, {{key, platform::Object(false)}});
  APMAnalytics::flushSerialQueueForTesting();
  EXPECT_FALSE(APMAnalytics::isAnalyticsCollectionEnabled());
  // Not persisted: only the public switch persists.
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);
}

TEST_F(FrontTest, InvalidConsentValuesAreDroppedOneByOne) {
  APMAnalytics::setConsent({{"ad_storage", platform::Object("maybe")}, {"analytics_storage", platform::Object(1)}});
  EXPECT_EQ(linesWithCode(25042).size(), 2u);
  EXPECT_EQ(linesWithCode(25041).size(), 1u);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), APMConsentSettingsUtil::kSourceNone);
  EXPECT_TRUE(APMAnalytics::consentSettings1P().empty());
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

TEST_F(FrontTest, ClearConsentRemovesEveryConsentKey) {
  auto& defaults = APMAnalytics::userDefaults();
  for (const char* key : {APMAnalytics::kConsentSettingsKey, APMAnalytics::kConsentSettings3PKey,
                          APMAnalytics::kConsentSettingsTCFKey, APMAnalytics::kConsentSettingsOnStartKey,
                          APMAnalytics::kDeferredConsentResetKey}) {
    defaults.setObject(platform::Object(platform::Dictionary{{"ad_storage", platform::Object("denied")}}), key);
  }
  defaults.setInteger(10, APMAnalytics::kConsentSourceKey);
  defaults.setInteger(2, APMAnalytics::kResetRetryCountKey);
  APMAnalytics::clearConsent();
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);
  EXPECT_TRUE(APMAnalytics::consentSettings1P().empty());
  EXPECT_TRUE(APMAnalytics::consentSettings3P().empty());
  EXPECT_TRUE(APMAnalytics::consentSettingsTCF().empty());
  EXPECT_TRUE(APMAnalytics::consentSettings1PStart().empty());
  EXPECT_TRUE(APMAnalytics::deferredResetOnDeniedConsent().isNull());
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 2);  // not a consent key
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

TEST_F(FrontTest, SuiteAccessorsRemoveWhatTheyClear) {
  APMAnalytics::setResetRetryCount(3);
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 3);
  APMAnalytics::setResetRetryCount(0);
  EXPECT_TRUE(APMAnalytics::userDefaults().objectForKey(APMAnalytics::kResetRetryCountKey).isNull());
  APMAnalytics::setDeferredAnalyticsCollection(false);
  EXPECT_EQ(APMAnalytics::deferredAnalyticsCollection(), std::optional<bool>(false));
  APMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  EXPECT_EQ(APMAnalytics::deferredAnalyticsCollection(), std::nullopt);
  APMAnalytics::setNeedFirstOpenAfterReset(true);
  APMAnalytics::removeNeedFirstOpenAfterReset();
  EXPECT_FALSE(APMAnalytics::needFirstOpenAfterReset());
  // A fresh process reads what the last one wrote.
  APMAnalytics::setResetRetryCount(4);
  platform::UserDefaults::resetForTesting();
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 4);
}

TEST_F(FrontTest, OlderCollectorIsSwitchedOffWhenPresent) {
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVIDUruzazezuve());
  std::optional<bool> received;
  platform::ClassRegistry::registerClass(APMBackwardCompatibilityUtil::kLegacyClassName, [&] {
    return std::any(std::function<void(bool)>([&](bool enabled) { received = enabled; }));
  });
  EXPECT_TRUE(APMBackwardCompatibilityUtil::disableVIDUruzazezuve());
  EXPECT_EQ(received, std::optional<bool>(false));
  platform::ClassRegistry::registerClass(APMBackwardCompatibilityUtil::kLegacyClassName);
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVIDUruzazezuve());
}

}  // namespace
}  // namespace fronttest
