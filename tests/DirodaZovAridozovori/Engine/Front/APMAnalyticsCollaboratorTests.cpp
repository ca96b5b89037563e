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
