// What the front hands to the engine and to its collaborators besides plain events: personalised
// ads, numeric properties, default parameters, purchases, links and the open-URL listener.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "APMEngineContext.h"
#include "FrontTestFixture.h"
#include "platform/ApplicationNotifications.h"

namespace fronttest {
namespace {

// The switch comes as a reserved user property or as consent; either way it is persisted and stored
// as the internal "_npa", never under its public name.
TEST_F(FakeClockFrontTest, PersonalizedAdsSwitchIsPersistedAndMirroredAsTheNPAProperty) {
  start();
  const struct { const char* what; std::function<void()> set; bool persisted; int64_t npa; } cases[] = {
      {"NO", [] { APMAnalyticsUserProperties::setUserPropertyString(platform::Object("NO"), APMAnalyticsUserProperties::kAllowPersonalizedAdsName); },
       false, 1},
      {"YES", [] { APMAnalyticsUserProperties::setUserPropertyString(platform::Object("YES"), APMAnalyticsUserProperties::kAllowPersonalizedAdsName); },
       true, 0},
      {"consent", [] { APMAnalyticsConsent::setConsent({{"ad_personalization", platform::Object("denied")}}); }, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.set();
    drain();
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->consent().allowPersonalizedAds(), std::optional<bool>(c.persisted));
    auto npa = userProperty("_npa");
    ASSERT_TRUE(npa);
    EXPECT_EQ(npa->value().int64Value(), c.npa);
    EXPECT_EQ(npa->origin(), "auto");
    EXPECT_FALSE(userProperty(APMAnalyticsUserProperties::kAllowPersonalizedAdsName));
  }
}

TEST_F(FakeClockFrontTest, LinksReachTheDeepLinkHandlersAndTheOpenURLListener) {
  std::vector<std::string> calls;
  std::mutex callsMutex;
  auto record = [&](const std::string& call) {
    std::lock_guard<std::mutex> lock(callsMutex);
    calls.push_back(call);
  };
  auto links = std::make_shared<FakeCollaborator>();
  links->debugURL = [&](const std::string& url) { record("debug " + url); };
  links->openURL = [&](const std::shared_ptr<APMEngineContext>&, const std::string& url, double timestamp) {
    record("open " + url + " " + std::to_string(static_cast<int64_t>(timestamp - kStartTime)));
  };
  links->userActivity = [](const std::string& type, const std::string& webpageURL) {
    return std::optional<std::string>(type == "NSUserActivityTypeBrowsingWeb" ? webpageURL : std::string());
  };
  APMAnalytics::setCollaborators({links});
  APMAnalyticsListeners::setOpenURLListener([&](const std::string& url) { record("listener " + url); });
  APMAnalytics::handleOpenURL("app://promo?x=1");
  clock_->advance(10);
  APMAnalytics::handleUserActivity("NSUserActivityTypeBrowsingWeb", "https://example.com/a");
  APMAnalytics::handleUserActivity("other", "https://example.com/b");
  APMAnalyticsOperationQueue::flushSerialQueueForTesting();
  std::lock_guard<std::mutex> lock(callsMutex);
  EXPECT_EQ(calls, (std::vector<std::string>{"debug app://promo?x=1", "open app://promo?x=1 0",
                                             "listener app://promo?x=1", "open https://example.com/a 10"}));
}

TEST_F(FakeClockFrontTest, TheAppIsActiveFromItsFirstActivationUntilAnOwnerOfThatStateIsInstalled) {
  std::atomic<int> tracked{0};
  auto screens = std::make_shared<FakeCollaborator>();
  screens->trackScreen = [&](const platform::Dictionary&, double) { ++tracked; };
  APMAnalytics::setCollaborators({screens});
  start();
  auto& center = platform::NotificationCenter::defaultCenter();
  auto post = [&](const char* name) {
    center.post(name);
    drain();
  };
  auto sessionStarts = [&] { return rowsNamed("_s").size(); };
  EXPECT_EQ(sessionStarts(), 0u) << "the first open came before any activation";
  post(platform::kApplicationWillResignActiveNotification);
  EXPECT_FALSE(APMIsAppActive());
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_TRUE(APMIsAppActive());
  EXPECT_EQ(sessionStarts(), 1u) << "the engine told the session reporter";
  post(platform::kApplicationWillResignActiveNotification);
  EXPECT_TRUE(APMIsAppActive()) << "never cleared";

  // An owner answers for the state, and tells the session reporter itself.
  std::atomic<bool> ownerSays{false};
  auto owner = std::make_shared<FakeCollaborator>();
  owner->isActive = [&] { return ownerSays.load(); };
  APMAnalytics::setCollaborators({screens, owner});
  EXPECT_FALSE(APMIsAppActive());
  EXPECT_FALSE(APMAnalyticsHooksIsAppActive()) << "the engine reads the same owner";
  ownerSays = true;
  clock_->advance(7200);  // the session has timed out
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(sessionStarts(), 1u) << "the engine's handler no longer forwards activation";
  APMAnalytics::logEventWithName("screen_view", {});
  EXPECT_EQ(tracked.load(), 1) << "the other collaborators stay";
}

// The owner of the active state hears of both activation changes from the front, with the engine
// that has started by then: none before it exists, then the shared engine's context, whose session
// reporter is the one the engine's own handlers would tell.
TEST_F(FakeClockFrontTest, TheOwnerOfTheActiveStateIsHandedActivationChangesWithTheStartedEngine) {
  std::vector<std::string> calls;
  std::mutex callsMutex;
  auto recorder = [&](const char* what) {
    return [&, what](const std::shared_ptr<APMEngineContext>& engine) {
      std::string call = std::string(what) + (engine ? " engine" : " none");
      if (engine && engine->sessionReporter() == nullptr) call += " without session";
      std::lock_guard<std::mutex> lock(callsMutex);
      calls.push_back(call);
    };
  };
  auto owner = std::make_shared<FakeCollaborator>();
  owner->isActive = [] { return true; };
  owner->becameActive = recorder("active");
  owner->resigned = recorder("resign");
  APMAnalytics::setCollaborators({owner});
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(platform::kApplicationDidBecomeActiveNotification);
  center.post(platform::kApplicationWillResignActiveNotification);
  start();
  center.post(platform::kApplicationDidBecomeActiveNotification);
  center.post(platform::kApplicationWillResignActiveNotification);
  drain();
  std::lock_guard<std::mutex> lock(callsMutex);
  EXPECT_EQ(calls, (std::vector<std::string>{"active none", "resign none", "active engine", "resign engine"}));
}

// The engine reaches the front only through the hooks the front installs as analytics starts: using
// the front before that installs nothing, and a reset takes them away again.
TEST_F(FakeClockFrontTest, TheEngineSeesTheFrontOnlyThroughHooksInstalledAtStart) {
  auto installed = [] {
    const APMAnalyticsHooks hooks = APMCurrentAnalyticsHooks();
    const std::vector<std::pair<const char*, bool>> each = {
        {"loadTimestamp", bool(hooks.loadTimestamp)},
        {"needFirstOpenAfterReset", bool(hooks.needFirstOpenAfterReset)},
        {"removeNeedFirstOpenAfterReset", bool(hooks.removeNeedFirstOpenAfterReset)},
        {"deferredAnalyticsCollection", bool(hooks.deferredAnalyticsCollection)},
        {"setDeferredAnalyticsCollection", bool(hooks.setDeferredAnalyticsCollection)},
        {"resetRetryCount", bool(hooks.resetRetryCount)},
        {"setResetRetryCount", bool(hooks.setResetRetryCount)},
        {"appInstanceIDAfterReset", bool(hooks.appInstanceIDAfterReset)},
        {"removeAppInstanceIDAfterReset", bool(hooks.removeAppInstanceIDAfterReset)},
        {"removeStartUpConsentSettings", bool(hooks.removeStartUpConsentSettings)},
        {"removeDeferredResetOnDeniedConsent", bool(hooks.removeDeferredResetOnDeniedConsent)},
        {"clearConsent", bool(hooks.clearConsent)},
        {"persistConsentSettings", bool(hooks.persistConsentSettings)},
        {"consentSettings1PStart", bool(hooks.consentSettings1PStart)},
        {"consentSettings3P", bool(hooks.consentSettings3P)},
        {"consentSettingsTCF", bool(hooks.consentSettingsTCF)},
        {"logInternalEventWithOrigin", bool(hooks.logInternalEventWithOrigin)},
        {"notifyEventListeners", bool(hooks.notifyEventListeners)},
        {"isAppActive", bool(hooks.isAppActive)},
        {"screenParameters", bool(hooks.screenParameters)},
        {"hasAppActiveOwner", bool(hooks.hasAppActiveOwner)},
        {"queueOperationWithBlock", bool(hooks.queueOperationWithBlock)},
    };
    std::vector<std::string> names;
    for (const auto& [name, set] : each) {
      if (set) names.push_back(name);
    }
    return names;
  };
  APMAnalytics::logEventWithName("early", {});
  APMAnalytics::setCurrentScreenParameters({{"_sn", platform::Object("Home")}});
  EXPECT_EQ(installed(), std::vector<std::string>{}) << "the front was used, but analytics has not started";

  start();
  EXPECT_EQ(installed().size(), 22u);
  const APMAnalyticsHooks hooks = APMCurrentAnalyticsHooks();
  EXPECT_EQ(hooks.screenParameters(), (platform::Dictionary{{"_sn", platform::Object("Home")}}));
  EXPECT_FALSE(hooks.hasAppActiveOwner());
  auto owner = std::make_shared<FakeCollaborator>();
  owner->isActive = [] { return false; };
  APMAnalytics::setCollaborators({std::make_shared<FakeCollaborator>(), owner});
  EXPECT_TRUE(hooks.hasAppActiveOwner());

  APMAnalytics::resetForTesting();
  EXPECT_EQ(installed(), std::vector<std::string>{});
}

}  // namespace
}  // namespace fronttest
