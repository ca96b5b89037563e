// What the front hands to the engine and to its collaborators besides plain events: personalised
// ads, numeric properties, default parameters, purchases, links and the open-URL listener.
#include <gtest/gtest.h>

#include <atomic>

#include "FrontTestFixture.h"

namespace fronttest {
namespace {

// The switch comes as a reserved user property or as consent; either way it is persisted and stored
// as the internal "_npa", never under its public name.
TEST_F(FakeClockFrontTest, PersonalizedAdsSwitchIsPersistedAndMirroredAsTheNPAProperty) {
  start();
  const struct { const char* what; std::function<void()> set; bool persisted; int64_t npa; } cases[] = {
      {"NO", [] { APMAnalytics::setUserPropertyString(platform::Object("NO"), APMAnalytics::kAllowPersonalizedAdsName); },
       false, 1},
      {"YES", [] { APMAnalytics::setUserPropertyString(platform::Object("YES"), APMAnalytics::kAllowPersonalizedAdsName); },
       true, 0},
      {"consent", [] { APMAnalytics::setConsent({{"ad_personalization", platform::Object("denied")}}); }, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.set();
    drain();
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), std::optional<bool>(c.persisted));
    auto npa = userProperty("_npa");
    ASSERT_TRUE(npa);
    EXPECT_EQ(npa->value().int64Value(), c.npa);
    EXPECT_EQ(npa->origin(), "auto");
    EXPECT_FALSE(userProperty(APMAnalytics::kAllowPersonalizedAdsName));
  }
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
