// Links that open the application, through the front and the engine: the campaign event, the kept
// click identifiers and "_zbraid", the launching link reported at start, the debug switch of a URL,
// and the decision to ask for a deferred deep link.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DeepLinkTestFixture.h"
#include "platform/ApplicationNotifications.h"
#include "platform/NotificationCenter.h"

namespace deeplinktest {
namespace {

using fronttest::kStartTime;

constexpr const char* kDeferredDeepLinkSwitch = "DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";

class DeepLinkReporterTest : public DeepLinkTest {
 protected:
  // Counts the campaign events the listeners hear.
  void listen() {
    APMAnalytics::addLogEventListener([this](const std::shared_ptr<APMEvent>& event) {
      if (event->name() == "_cmp" || event->name() == "_cmpx") ++heard_;
    });
  }
  // Posts the launch the way the host does, with the link that launched the application.
  void launchWith(const platform::LaunchOptions& options) {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidFinishLaunchingNotification, nullptr,
                                                       options.userInfo());
  }
  std::atomic<int> heard_{0};
};

TEST_F(DeepLinkReporterTest, OpenedLinksLogTheirCampaignOnce) {
  start();
  listen();
  struct Case {
    const char* url;
    bool logged;
    int64_t refusal;  // 0: none
    std::map<std::string, std::string> parameters;
  };
  const Case cases[] = {
      {"https://example.com/promo?utm_source=a&utm_medium=b", true, 0, {{"source", "a"}, {"medium", "b"}}},
      {"https://example.com/?ref=home&x=1", false, 23001, {}},
      {"https://example.com/plain", false, 23000, {}},
      {"app://open?zbraid=B1&zclid=Z1&utm_campaign=spring", true, 0,
       {{"zbraid", "B1"}, {"zclid", "Z1"}, {"campaign", "spring"}}},
  };
  size_t logged = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const size_t refusalsBefore = c.refusal ? linesWithMonitorCode(c.refusal) : 0;
    APMAnalytics::handleOpenURL(c.url);
    drain();
    auto rows = rowsNamed("_cmp");
    logged += c.logged;
    ASSERT_EQ(rows.size(), logged);
    EXPECT_EQ(heard_.load(), static_cast<int>(logged)) << "listeners hear each campaign once";
    if (c.refusal) {
      EXPECT_EQ(linesWithMonitorCode(c.refusal), refusalsBefore + 1);
    }
    if (!c.logged) continue;
    EXPECT_EQ(rows.back().origin, "auto");
    EXPECT_DOUBLE_EQ(rows.back().timestamp, kStartTime);
    for (const auto& [name, value] : c.parameters) EXPECT_EQ(rows.back().text(name), value) << name;
  }

  // Only the link with click identifiers left them for the next bundles, and its zbraid.
  auto info = keptCampaignInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(APMNanoGetString(*info, APMPBAdCampaignInfo::kZbraid), std::optional<std::string>("B1"));
  EXPECT_EQ(APMNanoGetString(*info, APMPBAdCampaignInfo::kZclid), std::optional<std::string>("Z1"));
  EXPECT_EQ(APMNanoGetInt64(*info, APMPBAdCampaignInfo::kEventTimestampMillis), 1699956000000LL);
  auto zbraid = userProperty("_zbraid");
  ASSERT_TRUE(zbraid);
  EXPECT_EQ(zbraid->value().stringValue(), "B1");
  EXPECT_EQ(zbraid->origin(), "auto");
}

TEST_F(DeepLinkReporterTest, BrowsingActivitiesAreLinksAndOtherActivitiesAreNot) {
  start();
  APMAnalytics::handleUserActivity("NSUserActivityTypeBrowsingWeb", "https://example.com/?utm_campaign=c");
  APMAnalytics::handleUserActivity("com.example.reading", "https://example.com/?utm_campaign=d");
  APMAnalytics::handleUserActivity("NSUserActivityTypeBrowsingWeb", "");
  drain();
  auto rows = rowsNamed("_cmp");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].text("campaign"), "c");
  EXPECT_EQ(linesWithMonitorCode(23006), 2u);
}

TEST_F(DeepLinkReporterTest, WithCollectionOffALinkLeavesNothingBehind) {
  start();
  APMAnalytics::setAnalyticsEnabled(false);
  drain();
  APMAnalytics::handleOpenURL("app://open?zbraid=B1&zclid=Z1&utm_source=s");
  drain();
  APMAnalytics::setAnalyticsEnabled(true);
  drain();
  EXPECT_TRUE(rowsNamed("_cmp").empty());
  EXPECT_FALSE(keptCampaignInfo()) << "no click identifier is kept for later bundles";
  EXPECT_FALSE(userProperty("_zbraid"));
}

TEST_F(DeepLinkReporterTest, TheWorkerQueueMayNotHandOnALink) {
  start();
  auto measurement = engine();
  onWorker([&] {
    APMDeepLinkReporter::handleNonFirstOpenEventURL(measurement, "app://open?utm_source=s", platform::now());
  });
  drain();
  EXPECT_TRUE(rowsNamed("_cmp").empty()) << "refused (a silent-level error), not queued behind itself";
}

// A launching link waits for the engine's start: at the first open it is the install's campaign
// (with the click time), later it is reported once the engine starts, unless it outlived the
// attribution window (seven days), in which case only an unattributed "_cmpx" remains.
TEST_F(DeepLinkReporterTest, LaunchingLinkIsReportedAtTheNextStart) {
  struct Case {
    const char* what;
    double age;  // seconds from storing to start
    std::string name;
    bool clickTime;
    std::string source;
    int64_t cc;
    bool withoutTime = false;
  };
  // Stored at 09:59:59.5 (kStartTime - 0.5): the hour before the click's hour starts at 08:00.
  const int64_t hourBefore = 1699948800000LL;
  const Case cases[] = {
      {"first open", 0.5, "_cmp", true, "a", hourBefore},
      {"a week old", 604800, "_cmp", false, "a", hourBefore},
      {"older than a week", 604800.5, "_cmpx", false, "(not set)", 1},
      {"kept without its time: nothing shows it is recent", 0.5, "_cmpx", false, "(not set)", 1, true},
  };
  bool firstProcess = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!firstProcess) relaunch();
    firstProcess = false;
    clock_->setNow(kStartTime - 0.5);
    launchWith({std::string("https://example.com/?utm_source=a&utm_medium=b"), std::nullopt});
    ASSERT_TRUE(APMHasStoredDeepLink(defaults()));
    if (c.withoutTime) defaults().removeObject("/diroda/measurement/deep_link_timestamp_seconds");
    clock_->setNow(kStartTime - 0.5 + c.age);
    start();
    auto rows = rowsWithName(this->rows(), c.name);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text("source"), c.source);
    EXPECT_EQ(rows[0].text("medium"), c.source == "a" ? "b" : "(not set)");
    EXPECT_EQ(rows[0].integer("_cc"), c.cc);
    EXPECT_EQ(rows[0].has("click_timestamp"), c.clickTime);
    if (c.clickTime) {
      EXPECT_EQ(rows[0].integer("click_timestamp"),
                APMPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds() - 1);
    }
    EXPECT_TRUE(defaults().object("/diroda/measurement/deep_link").isNull());
    EXPECT_TRUE(defaults().object("/diroda/measurement/deep_link_timestamp_seconds").isNull());
    // The rows of this process are gone before the next: only the next start's reports count.
    onWorker([&] { ASSERT_TRUE(engine()->database()->deleteRawEventsWithMaxRowID(INT64_MAX, nullptr)); });
  }
}

TEST_F(DeepLinkReporterTest, LaunchPrefersTheActivityLinkAndAppliesTheURLDebugSwitch) {
  launchWith({std::string("app://open?utm_source=url&sstg_debug_enable=1&sstg_preview_key=P1"),
              platform::UserActivity{"NSUserActivityTypeBrowsingWeb", "https://example.com/?utm_source=activity"}});
  EXPECT_EQ(APMStoredDeepLink(defaults()), std::optional<std::string>("https://example.com/?utm_source=activity"));
  EXPECT_EQ(APMMeasurement::SSTGPreviewHeaders(),
            std::optional<platform::Dictionary>(platform::Dictionary{{"X-Stg-Server-Preview", "P1"}}));

  APMRemoveStoredDeepLink(defaults());
  launchWith({std::string("app://open?utm_source=url"), platform::UserActivity{"com.example.reading", "https://x/"}});
  EXPECT_EQ(APMStoredDeepLink(defaults()), std::optional<std::string>("app://open?utm_source=url"));
}

TEST_F(DeepLinkReporterTest, DisablingCollectionDropsOnlyAnExpiredLaunchingLink) {
  start();
  for (const double age : {604800.0, 604801.0}) {
    SCOPED_TRACE(age);
    APMStoreDeepLink(defaults(), "https://example.com/?utm_source=a");
    clock_->advance(age);
    APMAnalytics::setAnalyticsEnabled(false);
    drain();
    EXPECT_EQ(APMHasStoredDeepLink(defaults()), age <= 604800.0);
    APMAnalytics::setAnalyticsEnabled(true);
    drain();
  }
}

TEST_F(DeepLinkReporterTest, URLsSwitchTheServerSideTaggingDebugMode) {
  struct Step {
    const char* url;
    bool debug;
    std::optional<std::string> previewKey;
  };
  const Step steps[] = {
      {"app://x?sstg_debug_enable=1&sstg_preview_key=K1", true, "K1"},
      {"app://x?sstg_debug_enable=2&sstg_preview_key=K2", true, "K1"},  // neither on nor off: unchanged
      {"app://x?other=1", true, "K1"},
      {"app://x?sstg_debug_enable=1", true, std::nullopt},
      {"app://x?sstg_debug_enable=1&sstg_preview_key=K2", true, "K2"},
      {"app://x?sstg_debug_enable=1&sstg_preview_key=", true, std::nullopt},
      {"app://x?sstg_debug_enable=1&sstg_preview_key=K3", true, "K3"},
      {"app://x?sstg_debug_enable=0&sstg_preview_key=K4", false, std::nullopt},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.url);
    APMAnalytics::handleOpenURL(step.url);
    EXPECT_EQ(APMMonitor::shared()->isDebugModeEnabled(), step.debug);
    std::optional<platform::Dictionary> expected;
    if (step.previewKey) expected = platform::Dictionary{{"X-Stg-Server-Preview", *step.previewKey}};
    EXPECT_EQ(APMMeasurement::SSTGPreviewHeaders(), expected);
  }
}

TEST_F(DeepLinkReporterTest, DeferredDeepLinkIsAskedForOnlyWhenEverythingAllowsIt) {
  platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object(true));
  identityIgnoresConsent_->store(true);
  start();
  auto persisted = APMPersistedConfig::sharedInstance();
  struct Case {
    const char* what;
    std::function<void()> change;
    bool allowed;
    bool completeAfter;
  };
  const Case cases[] = {
      {"everything allows it", [] {}, true, false},
      {"the configuration turns it off", [this] { applyConfig({{"measurement.ddl.enabled", "0"}}); }, false, false},
      {"the Info.plist switch is absent",
       [] { platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object()); }, false,
       false},
      {"the Info.plist switch is text",
       [] { platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object("YES")); },
       false, false},
      {"the Info.plist switch is a false number",
       [] { platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object(0)); }, false,
       false},
      {"already retrieved", [persisted] { persisted->setDeferredDeepLinkRetrievalComplete(false); }, false, true},
      {"one retry left", [persisted] { persisted->setDeferredDeepLinkRetryCount(4); }, true, false},
      {"the default five retries used", [persisted] { persisted->setDeferredDeepLinkRetryCount(5); }, false, true},
      {"a configured limit of two used",
       [this, persisted] {
         applyConfig({{"measurement.ddl.retry_count", "2"}});
         persisted->setDeferredDeepLinkRetryCount(2);
       },
       false, true},
      {"ad storage denied", [] { APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 10); }, false,
       false},
      {"limited ad tracking on",
       [this] {
         support_->limited = true;
         clock_->advance(2);  // past the identifiers' cache time
       },
       false, false},
      {"no advertising service to ask", [this] { support_->hasAdvertising = false; }, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    bool allowed = false;
    onWorker([&] { allowed = APMDeepLinkReporter::shouldAllowRequestDeferredDeepLink(*engine()); });
    EXPECT_EQ(allowed, c.allowed);
    EXPECT_EQ(persisted->deferredDeepLinkRetrievalComplete(), c.completeAfter);
    // Back to a state that allows it.
    applyConfig({});
    platform::Bundle::setInfoDictionaryValue(kDeferredDeepLinkSwitch, platform::Object(true));
    persisted->setDeferredDeepLinkRetrievalComplete(std::nullopt);
    persisted->setDeferredDeepLinkRetryCount(0);
    APMConsentSettingsUtil::updateSettings({{"ad_storage", "granted"}}, 10);
    support_->limited = false;
    support_->hasAdvertising = true;
    clock_->advance(2);
  }
}

}  // namespace
}  // namespace deeplinktest
