// What the front hands to the engine and to its collaborators besides plain events: personalised
// ads, numeric properties, default parameters, purchases, links and the open-URL listener.
#include <gtest/gtest.h>

#include <atomic>

#include "FrontTestFixture.h"

namespace fronttest {
namespace {

TEST_F(FakeClockFrontTest, PersonalizedAdsSwitchIsPersistedAndMirroredAsTheNPAProperty) {
  start();
  struct Case {
    const char* value;
    std::optional<bool> persisted;
    int64_t npa;  // -1: no "_npa" stored
  };
  const Case cases[] = {
      {"NO", false, 1},
      {"YES", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    APMAnalytics::setUserPropertyString(platform::Object(c.value), APMAnalytics::kAllowPersonalizedAdsName);
    drain();
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), c.persisted);
    auto npa = userProperty("_npa");
    ASSERT_TRUE(npa);
    EXPECT_EQ(npa->value().int64Value(), c.npa);
    EXPECT_EQ(npa->origin(), "auto");
    // Never stored under its public name.
    EXPECT_FALSE(userProperty(APMAnalytics::kAllowPersonalizedAdsName));
  }
}

TEST_F(FakeClockFrontTest, ConsentForAdPersonalizationSetsTheSwitch) {
  start();
  APMAnalytics::setConsent({{"ad_personalization", platform::Object("denied")}});
  drain();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), std::optional<bool>(false));
  ASSERT_TRUE(userProperty("_npa"));
  EXPECT_EQ(userProperty("_npa")->value().int64Value(), 1);
}

TEST_F(FakeClockFrontTest, NumericPropertiesKeepTheirKindAndTakeTheAutoOrigin) {
  start();
  APMAnalytics::setUserAttributeNumber(platform::Object(2.75), "ratio");
  APMAnalytics::setUserAttributeNumber(platform::Object(12), "level");
  APMAnalytics::setUserAttributeNumber(platform::Object("12"), "text_level");
  auto ratio = userProperty("ratio");
  ASSERT_TRUE(ratio);
  EXPECT_TRUE(ratio->value().isDouble());
  EXPECT_EQ(ratio->value().doubleValue(), 2.75);
  EXPECT_EQ(ratio->origin(), "auto");
  auto level = userProperty("level");
  ASSERT_TRUE(level);
  EXPECT_TRUE(level->value().isInt64());
  EXPECT_EQ(level->value().int64Value(), 12);
  EXPECT_FALSE(userProperty("text_level"));
}

TEST_F(FakeClockFrontTest, DefaultParametersJoinLaterEventsWithTheEventsOwnValuesWinning) {
  start();
  APMAnalytics::setDefaultEventParameters(
      platform::Dictionary{{"theme", platform::Object("dark")}, {"tier", platform::Object(2)}});
  APMAnalytics::logEventWithName("with_defaults", {{"tier", platform::Object(5)}});
  APMAnalytics::setDefaultEventParameters(std::nullopt);
  APMAnalytics::logEventWithName("after_clearing", {});
  auto with = rowsNamed("with_defaults");
  ASSERT_EQ(with.size(), 1u);
  EXPECT_EQ(with[0].text("theme"), "dark");
  EXPECT_EQ(with[0].integer("tier"), 5);
  auto after = rowsNamed("after_clearing");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_FALSE(after[0].has("theme"));
}

TEST_F(FakeClockFrontTest, StoreUpdatesAreFilteredForDuplicatesBeforeTheReporterSeesThem) {
  std::vector<std::vector<std::string>> reported;
  std::atomic<int> reports{0};
  APMAnalyticsCollaborators collaborators;
  collaborators.reportFilteredTransactions = [&](const std::vector<APMPurchaseTransaction>& kept) {
    std::vector<std::string> ids;
    for (const auto& transaction : kept) ids.push_back(transaction.productID);
    reported.push_back(ids);
    ++reports;
  };
  APMAnalytics::setCollaborators(collaborators);
  start();
  APMAnalytics::paymentQueueUpdatedTransactions({
      {"coins", 1, "fp-1", {}},
      {"coins-again", 1, "fp-1", {}},
      {"pending", 0, "fp-2", {}},
      {"gems", 1, "fp-3", {}},
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return reports.load() == 1; }));
  EXPECT_EQ(reported[0], (std::vector<std::string>{"coins", "gems"}));
}

TEST_F(FakeClockFrontTest, LinksReachTheDeepLinkHandlersAndTheOpenURLListener) {
  std::vector<std::string> calls;
  std::mutex callsMutex;
  auto record = [&](const std::string& call) {
    std::lock_guard<std::mutex> lock(callsMutex);
    calls.push_back(call);
  };
  APMAnalyticsCollaborators collaborators;
  collaborators.handleSSTGDebugModeWithURL = [&](const std::string& url) { record("debug " + url); };
  collaborators.handleNonFirstOpenEventURL = [&](const std::string& url, double timestamp) {
    record("open " + url + " " + std::to_string(static_cast<int64_t>(timestamp - kStartTime)));
  };
  collaborators.deepLinkFromUserActivity = [](const std::string& type, const std::string& webpageURL) {
    return type == "NSUserActivityTypeBrowsingWeb" ? webpageURL : std::string();
  };
  APMAnalytics::setCollaborators(collaborators);
  APMAnalytics::setOpenURLListener([&](const std::string& url) { record("listener " + url); });
  APMAnalytics::handleOpenURL("app://promo?x=1");
  clock_->advance(10);
  APMAnalytics::handleUserActivity("NSUserActivityTypeBrowsingWeb", "https://example.com/a");
  APMAnalytics::handleUserActivity("other", "https://example.com/b");
  APMAnalytics::flushSerialQueueForTesting();
  std::lock_guard<std::mutex> lock(callsMutex);
  EXPECT_EQ(calls, (std::vector<std::string>{"debug app://promo?x=1", "open app://promo?x=1 0",
                                             "listener app://promo?x=1", "open https://example.com/a 10"}));
}

}  // namespace
}  // namespace fronttest
