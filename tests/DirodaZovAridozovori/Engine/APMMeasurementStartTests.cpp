// Creation, the collection switch and the start-up reports of the engine, against a real database
// in a fresh data directory, across restarts of the "process".
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "APMFileUtilities.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMStartUp.h"
#include "EngineTestFixture.h"
#include "platform/PropertyList.h"

namespace enginetest {
namespace {

using EngineStartTest = EngineTest;

TEST_F(EngineStartTest, FirstStartStoresFirstOpenAndEngagementRows) {
  start();
  ASSERT_TRUE(engine().collection().isEnabled());
  auto firstOpens = rowsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  const StoredRow& firstOpen = firstOpens[0];
  EXPECT_EQ(firstOpen.origin, "auto");
  EXPECT_DOUBLE_EQ(firstOpen.timestamp, kStartTime);
  EXPECT_EQ(firstOpen.integer("_pfo"), 0);
  EXPECT_EQ(firstOpen.integer("_uwa"), 0);
  EXPECT_EQ(firstOpen.integer("_c"), 1) << "first open is a conversion";
  EXPECT_FALSE(firstOpen.has("_pdmp"));
  EXPECT_FALSE(firstOpen.has("_dac"));

  auto engagements = rowsNamed("_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].integer("_et"), 1);
  EXPECT_DOUBLE_EQ(engagements[0].timestamp, kStartTime);

  auto firstOpenTime = userProperty("_fot");
  ASSERT_TRUE(firstOpenTime);
  // 10:00:00.000 rounds up to the next hour, 11:00.
  EXPECT_EQ(firstOpenTime->value().int64Value(), static_cast<int64_t>(kStartTime + 3600) * 1000);
  ASSERT_TRUE(userProperty("_fi"));
  EXPECT_EQ(userProperty("_fi")->value().int64Value(), 1);

  EXPECT_EQ(engine().startUp().previousFirstOpenCount(), "1") << "a stored first open raises the count";
  EXPECT_TRUE(engine().setup().persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA());
  EXPECT_EQ(engine().setup().persistedConfig->attribution().firstOpenTimestampMilliseconds(), static_cast<int64_t>(kStartTime) * 1000);
  // Already on disk, with the clock standing still: a process that dies now reports no second first open.
  const platform::Object onDisk = platform::PropertyList::readFile(engine().setup().persistedConfig->path());
  EXPECT_EQ(onDisk["/diroda/measurement/first_open_time"].integerValue(), static_cast<int64_t>(kStartTime) * 1000);
}

TEST_F(EngineStartTest, RestartsReportAppUpdateOnceForANewVersionAndNoSecondFirstOpen) {
  start();
  EXPECT_EQ(rowsNamed("_au").size(), 0u) << "the first launch only records the version";
  stop();
  platform::Bundle::setShortVersion("2.0");
  start();
  auto updates = rowsNamed("_au");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].text("_pv"), "1.0");
  EXPECT_EQ(updates[0].origin, "auto");
  stop();
  start();
  EXPECT_EQ(rowsNamed("_au").size(), 1u) << "an unchanged version reports nothing";
  EXPECT_EQ(rowsNamed("_f").size(), 1u) << "a restart reports no second first open";
}

TEST_F(EngineStartTest, NewAppIDWipesStoredDataAndReportsPreviousID) {
  start(kAppID);
  logPublic("before_change");
  ASSERT_EQ(rowsNamed("before_change").size(), 1u);
  stop();
  start(kOtherAppID);
  EXPECT_TRUE(loggedCode(23294));
  EXPECT_EQ(rowsNamed("before_change").size(), 0u);
  auto firstOpens = rowsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u) << "the wiped install opens for the first time again";
  EXPECT_EQ(firstOpens[0].text("_pdmp"), kAppID);
  EXPECT_EQ(engine().setup().persistedConfig->identifiers().appIDFromDMP(), std::optional<std::string>(kOtherAppID));
  stop();
  start(kOtherAppID);
  EXPECT_EQ(rowsNamed("_f").size(), 1u) << "the same ID again wipes nothing";
}

TEST_F(EngineStartTest, PersistedSwitchOverridesStartOption) {
  struct Case {
    int64_t persistedState;
    bool option;
    bool deactivated;
    bool expected;
  };
  const Case cases[] = {
      {0, true, false, true},  {0, false, false, false}, {1, false, false, true},
      {2, true, false, false}, {1, true, true, false},
  };
  for (const auto& c : cases) {
    APMPersistedConfig::sharedInstance()->consent().setMeasurementEnabledState(c.persistedState);
    auto engine = APMMeasurement::create(
        kAppID, {.isAnalyticsCollectionEnabled = c.option, .isAnalyticsCollectionDeactivated = c.deactivated});
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->collection().shouldEnableMeasurement(), c.expected)
        << "state " << c.persistedState << " option " << c.option << " deactivated " << c.deactivated;
    EXPECT_EQ(engine->collection().wasEnabledDuringInitialization(), c.expected);
    engine->setup().scheduler->workerQueue()->sync([] {});
    EXPECT_EQ(engine->collection().isEnabled(), c.expected);
  }
}

// An advertising choice becomes the ad-personalization consent, and its diagnostic digit says where
// the choice came from: 5 the app's own stored switch, 3 the Info.plist flag, 1 the configuration's
// consent defaults (which name the type without deciding it). The other three types are not set (9).
TEST_F(EngineStartTest, AdPersonalizationConsentRecordsWhereTheChoiceCameFrom) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* diagnostics;
  };
  auto storeNPA = [this] {
    onWorker([this] {
      engine().userProperties().setUserPropertyInDatabaseOnWorkerQueue(
          APMUserAttribute("auto", "_npa", APMValue(static_cast<int64_t>(1)), platform::now()));
    });
  };
  // The stored switch outlives the "process", so it comes last.
  const Case cases[] = {
      {"consent defaults",
       [] { APMConsentSettingsUtil::setDefaultSettings(platform::Dictionary{{"ad_personalization", "pending"}}); },
       "19991"},
      {"Info.plist flag",
       [] {
         platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS",
                                                  platform::Object(false));
       },
       "19993"},
      {"stored switch", [] { APMPersistedConfig::sharedInstance()->consent().setAllowPersonalizedAds(false); }, "19995"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    start();
    storeNPA();
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), std::optional<int64_t>(0));
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), c.diagnostics);
    stop();
    resetProcess();
  }
}

TEST_F(EngineStartTest, DeactivationBlocksEveryEnable) {
  start(kAppID, true, true);
  EXPECT_FALSE(engine().collection().isEnabled());
  engine().collection().setEnabled(true);
  drain();
  EXPECT_FALSE(engine().collection().isEnabled());
  EXPECT_TRUE(loggedCode(23206));
  EXPECT_FALSE(engine().database()) << "nothing is created while deactivated";
  engine().collection().setEnabled(false);
  drain();
  EXPECT_TRUE(loggedCode(23013));
}

TEST_F(EngineStartTest, DisabledEngineStoresNothingUntilEnabled) {
  start(kAppID, false);
  EXPECT_FALSE(engine().collection().isEnabled());
  logPublic("while_disabled");
  EXPECT_TRUE(rows().empty());
  engine().collection().setEnabled(true);
  drain();
  EXPECT_TRUE(engine().collection().isEnabled());
  logPublic("while_enabled");
  EXPECT_EQ(rowsNamed("while_disabled").size(), 0u);
  EXPECT_EQ(rowsNamed("while_enabled").size(), 1u);
  EXPECT_EQ(rowsNamed("_f").size(), 1u);
  engine().collection().setEnabled(false);
  logPublic("disabled_again");
  EXPECT_TRUE(rowsNamed("disabled_again").empty());
}

TEST_F(EngineStartTest, FailedStartLeavesEngineDisabledAndEveryRoadANoOp) {
  // A directory where the database file belongs: it can never be opened.
  ASSERT_TRUE(APMCreateStorageDirectory(nullptr));
  const std::string blocker = APMApplicationSupportPath(APMDatabase::kDatabaseName);
  ASSERT_EQ(::mkdir(blocker.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((blocker + "/keep").c_str(), 0700), 0);
  start();
  EXPECT_FALSE(engine().collection().isEnabled());
  EXPECT_FALSE(engine().startUp().didInitializeComponents());
  EXPECT_TRUE(loggedCode(23011));
  logPublic("ignored");
  engine().userProperties().setUserAttribute(std::make_shared<APMUserAttribute>("app", "prop", APMValue("x"), kStartTime));
  engine().userProperties().setDefaultEventParameters(platform::Dictionary{{"a", 1}});
  bool answered = false;
  engine().sessions().sessionIDWithCompletion([&](int64_t id, std::optional<platform::Error> error) {
    answered = true;
    EXPECT_EQ(id, 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 13);
    EXPECT_EQ(error->description, "Analytics disabled");
  });
  drain();
  EXPECT_TRUE(answered);
  EXPECT_FALSE(engine().database());
}

// The exact hour itself is covered by the first start above.
TEST_F(EngineStartTest, TimestampRoundsUpToTheNextHour) {
  const int64_t tenOClock = static_cast<int64_t>(kStartTime) * 1000;
  EXPECT_EQ(APMStartUp::timestampMillisRoundedUpToNextHour(tenOClock + 3599999), tenOClock + 3600000);
  EXPECT_EQ(APMStartUp::timestampMillisRoundedUpToNextHour(0), 3600000);
}

TEST_F(EngineStartTest, ResetFromTheWorkerQueueRunsInline) {
  start();
  logPublic("before_reset");
  drain();
  bool result = false;
  onWorker([&] { result = engine().resetAnalyticsDataWithAppInstanceID("0123456789ABCDEF0123456789ABCDEF"); });
  EXPECT_TRUE(result);
  EXPECT_EQ(rowsNamed("before_reset").size(), 0u);
  EXPECT_EQ(rowsNamed("_f").size(), 1u) << "a reset reports a new first open";
  EXPECT_EQ(engine().setup().persistedConfig->identifiers().appInstanceID(),
            std::optional<std::string>("0123456789ABCDEF0123456789ABCDEF"));
}

}  // namespace
}  // namespace enginetest
