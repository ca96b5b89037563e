// Links that open the application, through the front and the engine: the campaign event, the kept
// click identifiers and "_zbraid", the launching link reported at start, the debug switch of a URL,
// and the decision to ask for a deferred deep link.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "APMEngineRegistry.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DeepLinkTestFixture.h"
#include "platform/ApplicationNotifications.h"
#include "platform/NotificationCenter.h"

namespace deeplinktest {
namespace {

using fronttest::kStartTime;

constexpr const char* kDeferredDeepLinkSwitch = "DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
constexpr const char* kLinkKey = "/diroda/measurement/deep_link";
constexpr const char* kLinkTimeKey = "/diroda/measurement/deep_link_timestamp_seconds";

// What the deep-link component does with a launch, at the time of the launch (an engine made later
// hands a launch posted before it on as it is made).
void launchWith(const platform::LaunchOptions& options) {
  APMDeepLinkComponent().applicationDidFinishLaunching(options);
}

TEST_F(DeepLinkTest, OpenedLinksAndBrowsingActivitiesLogTheirCampaignOnce) {
  start();
  std::atomic<int> heard{0};
  APMAnalyticsListeners::addLogEventListener([&](const std::shared_ptr<APMEvent>& event) { heard += event->name() == "_cmp"; });
  APMAnalytics::handleOpenURL("https://example.com/promo?utm_source=a&utm_medium=b");
  APMAnalytics::handleOpenURL("https://example.com/?ref=home");
  APMAnalytics::handleUserActivity("com.example.reading", "https://example.com/?utm_campaign=d");
  APMAnalytics::handleUserActivity("NSUserActivityTypeBrowsingWeb", "app://open?zbraid=B1&zclid=Z1&utm_campaign=c");
  auto rows = rowsNamed("_cmp");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(heard.load(), 2) << "listeners hear each campaign once";
  EXPECT_EQ(linesWithMonitorCode(23001), 1u);
  EXPECT_EQ(linesWithMonitorCode(23006), 1u);
  EXPECT_EQ(rows[0].origin, "auto");
  EXPECT_DOUBLE_EQ(rows[0].timestamp, kStartTime);
  EXPECT_EQ(rows[0].text("source") + rows[0].text("medium"), "ab");
  EXPECT_EQ(rows[1].text("zbraid") + rows[1].text("zclid") + rows[1].text("campaign"), "B1Z1c");

  auto info = keptCampaignInfo();
  ASSERT_TRUE(info) << "the link with click identifiers keeps them for the next bundles";
  EXPECT_EQ(APMNanoGetString(*info, APMPBAdCampaignInfo::kZbraid), std::optional<std::string>("B1"));
  EXPECT_EQ(APMNanoGetString(*info, APMPBAdCampaignInfo::kZclid), std::optional<std::string>("Z1"));
  auto zbraid = userProperty("_zbraid");
  ASSERT_TRUE(zbraid);
  EXPECT_EQ(zbraid->value().stringValue() + zbraid->origin(), "B1auto");

  // The worker queue may not hand a link on: it is refused (silently), not queued behind itself.
  onWorker([&] { APMDeepLinkReporter::handleNonFirstOpenEventURL(engine()->components().context(), "app://x?utm_source=w", kStartTime); });
  EXPECT_EQ(rowsNamed("_cmp").size(), 2u);
}

TEST_F(DeepLinkTest, ClickIdentifiersOfALinkNeedADeviceIDOrAuthorisedTracking) {
  const struct {
    const char* what;
    std::optional<std::string> deviceID;
    int64_t trackingStatus;  // 3: authorised
    bool allowed;
  } cases[] = {
      {"device ID, tracking denied", kDeviceID, 2, true},
      {"no device ID, tracking authorised", std::nullopt, 3, true},
      {"no device ID, tracking denied", std::nullopt, 2, false},
      {"empty device ID, tracking not determined", std::string(), 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    relaunch();
    support_->setDeviceID(c.deviceID);
    support_->status = c.trackingStatus;
    APMPersistedConfig::sharedInstance()->attribution().setAdCampaignInfoBuffer(std::nullopt);  // the previous case's link
    start();
    const size_t before = rowsNamed("_cmp").size();
    APMAnalytics::handleOpenURL("app://open?zclid=Z1&dclid=D1&srsltid=S1&zbraid=B1&utm_source=s");
    auto rows = rowsNamed("_cmp");
    ASSERT_EQ(rows.size(), before + 1);
    const auto& campaign = rows.back();
    for (const char* clickID : {"zclid", "dclid", "srsltid"}) {
      EXPECT_EQ(campaign.has(clickID), c.allowed) << clickID;
    }
    EXPECT_EQ(campaign.text("zbraid"), "B1");  // not a click identifier
    EXPECT_EQ(campaign.text("source"), "s");
    auto info = keptCampaignInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(APMNanoGetString(*info, APMPBAdCampaignInfo::kZclid).has_value(), c.allowed);
  }
}

TEST_F(DeepLinkTest, WithCollectionOffLinksLeaveNothingAndExpiredLaunchingLinksGo) {
  start();
  storeDeepLink(defaults(), "https://example.com/?utm_source=old");
  clock_->advance(604801);
  APMAnalyticsCollection::setAnalyticsEnabled(false);
  drain();
  EXPECT_FALSE(hasStoredDeepLink(defaults())) << "older than the attribution window";
  APMAnalytics::handleOpenURL("app://open?zbraid=B1&zclid=Z1&utm_source=s");
  drain();
  storeDeepLink(defaults(), "https://example.com/?utm_source=young");
  clock_->advance(604800);
  APMAnalyticsCollection::setAnalyticsEnabled(true);
  APMAnalyticsCollection::setAnalyticsEnabled(false);
  drain();
  EXPECT_TRUE(hasStoredDeepLink(defaults())) << "exactly a week old";
  APMAnalyticsCollection::setAnalyticsEnabled(true);
  drain();
  EXPECT_TRUE(rowsNamed("_cmp").empty());
  EXPECT_FALSE(keptCampaignInfo());
  EXPECT_FALSE(userProperty("_zbraid"));
}

// At the first open a launching link is the install's campaign (with the click time); later it is
// reported as the engine starts, unless it outlived the attribution window (a week) or its time is
// unknown: then only an unattributed "_cmpx" remains.
TEST_F(DeepLinkTest, LaunchingLinkIsReportedAtTheNextStart) {
  const int64_t hourBefore = 1699948800000LL;  // stored at 09:59:59.5: the hour before starts at 08:00
  const struct {
    const char* what;
    double age;
    bool keepTime;
    std::string name, source;
    int64_t cc;
    bool clickTime;
  } cases[] = {
      {"first open", 0.5, true, "_cmp", "a", hourBefore, true},
      {"a week old", 604800, true, "_cmp", "a", hourBefore, false},
      {"older than a week", 604800.5, true, "_cmpx", "(not set)", 1, false},
      {"kept without its time", 0.5, false, "_cmpx", "(not set)", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (&c != &cases[0]) relaunch();
    clock_->setNow(kStartTime - 0.5);
    launchWith({std::string("https://example.com/?utm_source=a&utm_medium=b"), std::nullopt});
    if (!c.keepTime) defaults().removeObject(kLinkTimeKey);
    clock_->setNow(kStartTime - 0.5 + c.age);
    start();
    auto rows = rowsWithName(this->rows(), c.name);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text("source") + "/" + rows[0].text("medium"), c.source + "/" + (c.cc == 1 ? c.source : "b"));
    EXPECT_EQ(rows[0].integer("_cc"), c.cc);
    EXPECT_EQ(rows[0].integer("click_timestamp"),
              c.clickTime ? APMPersistedConfig::sharedInstance()->attribution().firstOpenTimestampMilliseconds() - 1 : INT64_MIN);
    EXPECT_TRUE(defaults().object(kLinkKey).isNull() && defaults().object(kLinkTimeKey).isNull());
    onWorker([&] { ASSERT_TRUE(engine()->database()->rawEvents().deleteRawEventsWithMaxRowID(INT64_MAX, nullptr)); });
  }
}

TEST_F(DeepLinkTest, URLsSwitchTheServerSideTaggingDebugModeFromLaunchOrOpening) {
  // A launching activity's link is kept before the URL's; the URL still switches debug mode.
  launchWith({std::string("app://open?utm_source=url&sstg_debug_enable=1&sstg_preview_key=K1"),
              platform::UserActivity{"NSUserActivityTypeBrowsingWeb", "https://example.com/?utm_source=activity"}});
  EXPECT_EQ(APMStoredDeepLink(defaults()), std::optional<std::string>("https://example.com/?utm_source=activity"));
  const struct {
    const char* url;
    bool debug;
    std::optional<std::string> previewKey;
  } steps[] = {
      {nullptr, true, "K1"},
      {"app://x?sstg_debug_enable=2&sstg_preview_key=K2", true, "K1"},  // neither on nor off
      {"app://x?sstg_debug_enable=1", true, std::nullopt},
      {"app://x?sstg_debug_enable=1&sstg_preview_key=K3", true, "K3"},
      {"app://x?sstg_debug_enable=1&sstg_preview_key=", true, std::nullopt},
      {"app://x?sstg_debug_enable=0&sstg_preview_key=K4", false, std::nullopt},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.url ? step.url : "launch");
    if (step.url) APMAnalytics::handleOpenURL(step.url);
    EXPECT_EQ(APMMonitor::shared()->isDebugModeEnabled(), step.debug);
    std::optional<platform::Dictionary> expected;
    if (step.previewKey) expected = platform::Dictionary{{"X-Stg-Server-Preview", *step.previewKey}};
    EXPECT_EQ(APMEngineRegistry::SSTGPreviewHeaders(), expected);
  }
}

TEST_F(DeepLinkTest, DeferredDeepLinkIsAskedForOnlyWhenEverythingAllowsIt) {
  platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object(true));
  identityIgnoresConsent_->store(true);
  start();
  auto persisted = APMPersistedConfig::sharedInstance();
  auto plist = [](platform::Object value) {
    return [value] { platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, value); };
  };
  const struct {
    const char* what;
    std::function<void()> change;
    bool allowed, completeAfter;
  } cases[] = {
      {"everything allows it", [] {}, true, false},
      {"the configuration turns it off", [this] { applyConfig({{"measurement.ddl.enabled", "0"}}); }, false, false},
      {"no Info.plist switch", plist(platform::Object()), false, false},
      {"a text switch", plist(platform::Object("YES")), false, false},
      {"a false switch", plist(platform::Object(0)), false, false},
      {"already retrieved", [&] { persisted->attribution().setDeferredDeepLinkRetrievalComplete(false); }, false, true},
      {"one retry left", [&] { persisted->attribution().setDeferredDeepLinkRetryCount(4); }, true, false},
      {"the default five retries used", [&] { persisted->attribution().setDeferredDeepLinkRetryCount(5); }, false, true},
      {"a configured limit of two used",
       [&] {
         applyConfig({{"measurement.ddl.retry_count", "2"}});
         persisted->attribution().setDeferredDeepLinkRetryCount(2);
       },
       false, true},
      {"ad storage denied", [] { APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 10); }, false,
       false},
      {"limited ad tracking on", [this] { support_->limited = true; }, false, false},
      {"no advertising service to ask", [this] { support_->hasAdvertising = false; }, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    clock_->advance(2);  // past the identifiers' cache time
    bool allowed = false;
    onWorker([&] { allowed = APMDeepLinkReporter::shouldAllowRequestDeferredDeepLink(*engine()->components().context()); });
    EXPECT_EQ(allowed, c.allowed);
    EXPECT_EQ(persisted->attribution().deferredDeepLinkRetrievalComplete(), c.completeAfter);
    applyConfig({});
    plist(platform::Object(true))();
    persisted->attribution().setDeferredDeepLinkRetrievalComplete(std::nullopt);
    persisted->attribution().setDeferredDeepLinkRetryCount(0);
    APMConsentSettingsUtil::updateSettings({{"ad_storage", "granted"}}, 10);
    support_->limited = false;
    support_->hasAdvertising = true;
  }
}

}  // namespace
}  // namespace deeplinktest
