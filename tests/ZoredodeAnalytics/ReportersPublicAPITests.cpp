// What the analytics start joins to the engine besides the event road: the host's TCF decision
// becomes consent and one "_tcf" event, screen views are tracked, and ad exposure is measured
// against the current screen.
#include <gtest/gtest.h>

#include "../DirodaZovAridozovori/Engine/TCF/TCFTestSupport.h"
#include "AdExposure/APMAdExposureReporter.h"
#include "PublicAPITestFixture.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "platform/ApplicationNotifications.h"

namespace fronttest {
namespace {

class ReportersTest : public PublicAPITest<FakeClockFrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    resetReporters();
  }
  void TearDown() override {
    PublicAPITest::TearDown();
    resetReporters();
  }
  static void resetReporters() {
    APMScreenViewReporter::resetSharedInstanceForTesting();
  }
  // The ad exposure rows, oldest first, as (name, "_ai", "_xt", "_sn").
  std::vector<std::tuple<std::string, std::string, int64_t, std::string>> exposures() {
    std::vector<std::tuple<std::string, std::string, int64_t, std::string>> found;
    for (const auto& row : rows()) {
      if (row.name != "_xu" && row.name != "_xa") continue;
      EXPECT_EQ(row.origin, "am");
      found.emplace_back(row.name, row.text("_ai"), row.integer("_xt"), row.text("_sn"));
    }
    return found;
  }
};

TEST_F(ReportersTest, AnAcceptedTCFDecisionGrantsTheTCFConsentAndIsReportedOnce) {
  tcftest::storeGrantingEverything();
  configure();
  auto reports = rowsNamed("_tcf");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].origin, "auto");
  EXPECT_EQ(reports[0].text("_tcfd"), "14I4f");
  EXPECT_EQ(reports[0].text("_tcfd2"), "21111");
  EXPECT_EQ(reports[0].text("_tcfm"), "01");
  const platform::Dictionary granted{
      {"ad_storage", "granted"}, {"ad_personalization", "granted"}, {"ad_user_data", "granted"}};
  EXPECT_EQ(APMAnalyticsConsent::consentSettingsTCF(), granted);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  auto state = APMConsentSettingsUtil::consentSettings().value_or(platform::Dictionary{});
  for (const auto& [type, value] : granted) EXPECT_EQ(state[type], value) << type;

  // Every upload applies the stored decision again: unchanged, it logs and sets nothing.
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}});
  onWorker([&] {
    for (const auto& component : engine()->components().list()) component->uploadWillStart();
  });
  EXPECT_EQ(rowsNamed("_tcf").size(), 1u);
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings().value_or(platform::Dictionary{})["ad_storage"],
            platform::Object("denied"));
}

TEST_F(ReportersTest, AdExposureIsMeasuredAgainstTheScreenItHappenedOn) {
  configure();
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  DUDUravodazo::logEventWithName("screen_view", {{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  auto ads = APMFindEngineComponent<APMAdExposureReporter>(engine()->components().list());
  ASSERT_TRUE(ads);
  ads->beginAdUnitExposure("banner");
  clock_->advance(2.5);
  ads->endAdUnitExposure("banner");

  ads->beginAdUnitExposure("video");
  clock_->advance(0.75);
  ads->endAdUnitExposure("video");  // under a second: nothing

  ads->beginAdUnitExposure("left");
  ads->beginAdUnitExposure("right");
  clock_->advance(1.5);
  DUDUravodazo::logEventWithName("screen_view", {{"screen_name", "Cart"}});
  APMScreenViewReporter::sharedInstance()->currentScreen();  // the change has been handed on
  clock_->advance(0.5);
  ads->endAdUnitExposure("left");
  ads->endAdUnitExposure("right");

  using E = std::tuple<std::string, std::string, int64_t, std::string>;
  EXPECT_EQ(exposures(), (std::vector<E>{
                             {"_xu", "banner", 2500, "Home"},
                             {"_xa", "<absent>", 2500, "Home"},
                             {"_xu", "left", 1500, "Home"},
                             {"_xu", "right", 1500, "Home"},
                             {"_xa", "<absent>", 1500, "Home"},
                         }));
  auto banner = rowsNamed("_xu").at(0);
  EXPECT_EQ(banner.text("_sc"), "HomeView");
  EXPECT_EQ(banner.integer("_si"), rowsNamed("_vs").at(0).integer("_si"));
}

}  // namespace
}  // namespace fronttest
