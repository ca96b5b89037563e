// The front's queues and the parts of it that work without an engine: holding operations until
// start, the hold after a waiting hand-off, refused starts, listener tokens, the answers given
// before start, and the persisted suite values.
#include <gtest/gtest.h>

#include <atomic>

#include "APMEngineRegistry.h"
#include "Front/APMBackwardCompatibilityUtil.h"
#include "APMUserDefaults.h"
#include "FrontTestFixture.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace fronttest {
namespace {

TEST_F(FakeClockFrontTest, WaitingHandOffHoldsLaterOperationsForHalfASecond) {
  std::atomic<int> ran{0};  // the digits of the operations run, in order
  APMAnalyticsOperationQueue::unsuspendOperationQueue();
  APMAnalyticsOperationQueue::queueOperationWithBlockThenWait([&] { ran = ran * 10 + 1; });
  APMAnalyticsOperationQueue::queueOperationWithBlock([&] { ran = ran * 10 + 2; });
  APMAnalyticsOperationQueue::flushSerialQueueForTesting();
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(APMAnalyticsOperationQueue::isOperationQueueSuspended());

  clock_->advance(0.4);
  APMAnalyticsOperationQueue::flushSerialQueueForTesting();
  EXPECT_EQ(ran, 1);

  clock_->advance(0.2);
  EXPECT_TRUE(testsupport::waitFor([&] { return ran == 12; })) << ran;
  EXPECT_FALSE(APMAnalyticsOperationQueue::isOperationQueueSuspended());
}

TEST_F(FrontTest, WaitingHandOffFromTheSerialQueueItselfReturns) {
  APMAnalyticsOperationQueue::unsuspendOperationQueue();
  std::atomic<bool> returned{false};
  std::atomic<bool> innerRan{false};
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([&] {
    APMAnalyticsOperationQueue::queueOperationWithBlockThenWait([&] { innerRan = true; });
    returned = true;
  });
  EXPECT_TRUE(testsupport::waitFor([&] { return returned.load(); }));
  EXPECT_TRUE(testsupport::waitFor([&] { return innerRan.load(); }));
}

TEST_F(FrontTest, StartIsRefusedWhileAnotherCollectorIsPresent) {
  const struct { const char* what; const char* registeredClass; const char* origin; int64_t level, code; } cases[] = {
      {"an older framework", APMAnalyticsStartUp::kOlderFrameworkClassName, "fa", 1, 25029},
      {"the public API with another origin", APMAnalyticsStartUp::kPublicAPIClassName, "app", 3, 25026},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ClassRegistry::reset();
    platform::ClassRegistry::registerClass(c.registeredClass);
    clearLog();
    APMAnalyticsStartUp::startWithAppID(kAppID, c.origin, {});
    APMAnalyticsOperationQueue::flushSerialQueueForTesting();
    auto lines = linesWithCode(c.code);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.level);
    EXPECT_FALSE(APMAnalyticsStartUp::isStarted());
    EXPECT_FALSE(APMEngineRegistry::hasSharedInstance());
    EXPECT_TRUE(APMAnalyticsOperationQueue::isOperationQueueSuspended());
  }
}

// Consent is stored under the key of its source; a later process loads it back with the lower of the
// stored source and its key's rank, so a tampered source cannot outrank the key it sits under.
// Consent reaches the file at once (the clock stands still, so no delayed write runs): a process
// that dies right after a change starts again under that change.
TEST_F(FakeClockFrontTest, ConsentIsPersistedUnderItsKeyAndLoadsBackAtMostAtTheKeysRank) {
  const struct { const char* key; int64_t source; int64_t rank; } cases[] = {
      {APMAnalyticsConsent::kConsentSettingsKey, 30, 40},
      {APMAnalyticsConsent::kConsentSettings3PKey, 10, 20},
      {APMAnalyticsConsent::kConsentSettingsTCFKey, 5, 5},
  };
  auto& defaults = APMAnalyticsSuite::userDefaults();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    APMAnalyticsConsent::clearConsent();
    APMAnalyticsConsent::setConsent({{"ad_storage", platform::Object("denied")}}, c.key);
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
    EXPECT_EQ(APMAnalyticsConsent::persistedConsentSource(), c.source);
    auto stored = defaults.dictionaryForKey(c.key);
    ASSERT_TRUE(stored);
    EXPECT_EQ(platform::Object(*stored)["ad_storage"], platform::Object("denied"));
    const std::string file = platform::UserDefaultsRegistry::pathForSuite(APMAnalyticsSuite::kSuiteName);
    EXPECT_EQ(platform::PropertyList::readFile(file)[c.key]["ad_storage"], platform::Object("denied"));
    EXPECT_EQ(platform::PropertyList::readFile(file)[APMAnalyticsConsent::kConsentSourceKey], platform::Object(c.source));
    APMAnalyticsConsent::clearConsent();
    EXPECT_TRUE(platform::PropertyList::readFile(file)[c.key].isNull());
    for (auto [persistedSource, loaded] : {std::pair<int64_t, int64_t>{3, 3}, {50, c.rank}}) {
      APMAnalyticsConsent::clearConsent();
      defaults.setObject(platform::Object(*stored), c.key);
      defaults.setInteger(persistedSource, APMAnalyticsConsent::kConsentSourceKey);
      APMAnalyticsConsent::loadPersistedConsentSettings();
      EXPECT_EQ(APMConsentSettingsUtil::consentSource(), loaded) << persistedSource;
      EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
    }
  }
  // The public API's settings outrank the front's own.
  APMAnalyticsConsent::clearConsent();
  APMAnalyticsConsent::setConsent({{"ad_storage", platform::Object("denied")}}, APMAnalyticsConsent::kConsentSettings3PKey);
  APMAnalyticsConsent::setConsent({{"ad_storage", platform::Object("granted")}}, APMAnalyticsConsent::kConsentSettingsKey);
  EXPECT_EQ(linesWithCode(25043).size(), 1u);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
}

TEST_F(FrontTest, ResetBeforeStartRecordsItsIntentAndKeepsTheNewIDUnlessStorageIsDenied) {
  APMAnalytics::resetAnalyticsData();
  EXPECT_EQ(APMAnalyticsSuite::resetRetryCount(), 1);
  EXPECT_TRUE(APMAnalyticsSuite::needFirstOpenAfterReset());
  auto id = APMAnalyticsSuite::appInstanceIDAfterReset();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  EXPECT_EQ(APMAnalytics::appInstanceID(), id);

  APMAnalyticsSuite::userDefaults().clearAllData();
  APMAnalyticsConsent::setConsent({{"analytics_storage", platform::Object("denied")}});
  APMAnalytics::resetAnalyticsData();
  EXPECT_EQ(APMAnalyticsSuite::resetRetryCount(), 1);
  EXPECT_FALSE(APMAnalyticsSuite::appInstanceIDAfterReset());
  EXPECT_FALSE(APMAnalytics::appInstanceID());
}

}  // namespace
}  // namespace fronttest
