// The screen-view reporter behind the front: "screen_view" becomes "_vs" with the screen
// parameters, the current screen joins later events, refusals, the active state it owns, and
// screen views logged from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "../Front/FrontTestFixture.h"
#include "APMASLLogger.h"
#include "Logger/DULLogger.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "platform/ApplicationNotifications.h"

namespace fronttest {
namespace {

class ScreenViewReporterTest : public FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    resetReporters();
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(codesMutex_);
      codes_.push_back(record.messageCode);
    });
    APMAnalytics::setCollaborators({std::make_shared<APMScreenViewCollaborator>()});
  }

  void TearDown() override {
    FakeClockFrontTest::TearDown();
    resetReporters();
    DULLoggerSetSink(nullptr);
  }

  static void resetReporters() {
    APMScreenViewReporter::resetSharedInstanceForTesting();
  }

  static void post(const char* notification) { platform::NotificationCenter::defaultCenter().post(notification); }

  static void screenView(const platform::Dictionary& parameters) {
    APMAnalytics::logEventWithName("screen_view", parameters);
  }

  // The "_vs" rows once the reporter's queue has handed them on.
  std::vector<Row> screenViewRows() {
    APMScreenViewReporter::sharedInstance()->currentScreen();  // waits for the reporter's queue
    return rowsNamed("_vs");
  }

  bool logged(int64_t code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(codesMutex_);
    return std::count(codes_.begin(), codes_.end(), APMASLLogger::messageCodeText(code)) > 0;
  }

  std::mutex codesMutex_;
  std::vector<std::string> codes_;
};

TEST_F(ScreenViewReporterTest, ScreenViewsBecomeScreenViewEventsWithThePreviousScreenAndTheScreenJoinsLaterEvents) {
  start();
  screenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}, {"tab", "main"}});
  clock_->advance(2);
  screenView({{"screen_name", "Cart"}});
  APMAnalytics::logEventWithName("tap", {});

  auto views = screenViewRows();
  ASSERT_EQ(views.size(), 2u);
  EXPECT_TRUE(rowsNamed("screen_view").empty());
  const Row& first = views[0];
  const Row& second = views[1];
  EXPECT_EQ(first.origin, "app");
  EXPECT_EQ(first.timestamp, kStartTime);
  EXPECT_EQ(first.text("_sn"), "Home");
  EXPECT_EQ(first.text("_sc"), "HomeView");
  EXPECT_EQ(first.integer("_mst"), 1);
  EXPECT_EQ(first.text("tab"), "main");
  for (const char* absent : {"_pn", "_pc", "_pi", "_et", "screen_name", "screen_class"}) {
    EXPECT_FALSE(first.has(absent)) << absent;
  }
  EXPECT_EQ(second.timestamp, kStartTime + 2);
  EXPECT_EQ(second.text("_sn"), "Cart");
  EXPECT_FALSE(second.has("_sc"));
  EXPECT_EQ(second.integer("_si"), first.integer("_si") + 1);
  EXPECT_EQ(second.text("_pn"), "Home");
  EXPECT_EQ(second.text("_pc"), "HomeView");
  EXPECT_EQ(second.integer("_pi"), first.integer("_si"));
  EXPECT_EQ(second.integer("_mst"), 1);

  auto taps = rowsNamed("tap");
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].text("_sn"), "Cart");
  EXPECT_EQ(taps[0].integer("_si"), second.integer("_si"));
  EXPECT_FALSE(taps[0].has("_sc"));
}

TEST_F(ScreenViewReporterTest, ScreenValuesAreCheckedAndAnInvalidOneRefusesTheWholeScreenView) {
  start();
  screenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  // code: the warning of a refused view; 0 for an accepted one. sn/sc: "<absent>" when not sent on.
  const struct {
    const char* what;
    platform::Dictionary parameters;
    int64_t code;
    std::string sn, sc;
  } cases[] = {
      {"class of 501 characters", {{"screen_name", "Long"}, {"screen_class", std::string(501, 'c')}}, 31028, "", ""},
      {"class of another type", {{"screen_class", 5}}, 31028, "", ""},
      {"empty name", {{"screen_name", ""}, {"screen_class", "Valid"}}, 31027, "", ""},
      {"name of 501 characters", {{"screen_name", std::string(501, 'n')}}, 31027, "", ""},
      {"class of 500 characters", {{"screen_class", std::string(500, 'c')}}, 0, "<absent>", std::string(500, 'c')},
      {"neither name nor class", {}, 0, "<absent>", "<absent>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = screenViewRows().size();
    screenView(c.parameters);
    auto views = screenViewRows();
    if (c.code) {
      EXPECT_TRUE(logged(c.code));
      EXPECT_EQ(views.size(), before);
      continue;
    }
    ASSERT_EQ(views.size(), before + 1);
    EXPECT_EQ(views.back().text("_sn"), c.sn);
    EXPECT_EQ(views.back().text("_sc"), c.sc);
  }
  // The refused views left the screen as it was before them.
  EXPECT_EQ(screenViewRows()[1].text("_pn"), "Home");
  EXPECT_TRUE(logged(31014));  // the view without a class

  auto reporter = APMScreenViewReporter::sharedInstance();
  reporter->setScreenName("Elsewhere", "ElsewhereView");
  EXPECT_TRUE(logged(31000));
  std::optional<std::string> name = "unset", className = "unset";
  reporter->getScreenName(&name, &className);
  EXPECT_EQ(name, std::nullopt);
  EXPECT_EQ(className, std::nullopt);
  EXPECT_FALSE(APMAutomaticScreenReportingEnabled());
}

TEST_F(ScreenViewReporterTest, TheApplicationCountsAsActiveFromItsFirstActivationOn) {
  start();
  EXPECT_FALSE(APMIsAppActive());
  screenView({{"screen_name", "Splash"}});  // before the first activation screen views are taken
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_TRUE(APMIsAppActive());
  post(platform::kApplicationWillResignActiveNotification);
  EXPECT_TRUE(APMIsAppActive());  // a desktop application that resigns is still on screen
  screenView({{"screen_name", "Home"}});
  auto views = screenViewRows();
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(views[1].text("_pn"), "Splash");

  // An application that became active before the SDK was configured stays active: the reporter is
  // among the collaborators a process starts with, and hears activation from then on.
  stopEngine();
  APMAnalytics::resetForTesting();
  resetReporters();
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_TRUE(APMScreenViewReporter::sharedInstance()->isAppActive());
  start();
  EXPECT_TRUE(APMIsAppActive());
}

TEST_F(ScreenViewReporterTest, EngagementSinceThePreviousScreenJoinsTheScreenViewWithEfficientReporting) {
  for (bool efficient : {false, true}) {
    SCOPED_TRACE(efficient);
    stopEngine();
    APMAnalytics::resetForTesting();
    resetReporters();
    APMAnalytics::setCollaborators({std::make_shared<APMScreenViewCollaborator>()});
    start();
    applyConfig({{"measurement.collection.efficient_engagement_reporting_enabled", efficient ? "1" : "0"}});
    post(platform::kApplicationDidBecomeActiveNotification);
    screenView({{"screen_name", "Home"}});
    clock_->advance(3);
    screenView({{"screen_name", "Cart"}});
    auto views = screenViewRows();
    ASSERT_GE(views.size(), 2u);
    EXPECT_EQ(views.back().integer("_et"), efficient ? 3000 : INT64_MIN);
  }
}

// The session's settings are kept between screen views, yet a configuration that changes them on
// the running engine is seen by the next screen view, in both directions.
TEST_F(ScreenViewReporterTest, AChangedEngagementSettingReachesTheNextScreenViewOfTheSameEngine) {
  start();
  post(platform::kApplicationDidBecomeActiveNotification);
  const struct {
    const char* efficient;
    int64_t engagement;  // "_et" of the screen view logged 2 s after the one before; INT64_MIN: none
  } steps[] = {{"0", INT64_MIN}, {"1", 4000}, {"1", 2000}, {"0", INT64_MIN}, {"1", 4000}};
  screenView({{"screen_name", "Home"}});
  for (const auto& step : steps) {
    SCOPED_TRACE(step.efficient);
    applyConfig({{"measurement.collection.efficient_engagement_reporting_enabled", step.efficient}});
    clock_->advance(2);
    screenView({{"screen_name", "Cart"}});
    EXPECT_EQ(screenViewRows().back().integer("_et"), step.engagement);
  }
}

// Whoever measures by screen hears of each change with the screen left and the screen shown, as
// the events carry them.
TEST_F(ScreenViewReporterTest, AScreenChangeAnnouncesTheScreenLeftAndTheScreenShown) {
  std::mutex changesMutex;
  std::vector<platform::Dictionary> changes;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(APMScreenViewEvents::kScreenDidChangeNotification, nullptr, nullptr,
                                  [&](const platform::Notification& note) {
                                    std::lock_guard<std::mutex> lock(changesMutex);
                                    changes.push_back(note.userInfo);
                                  });
  start();
  post(platform::kApplicationDidBecomeActiveNotification);
  screenView({{"screen_name", "Home"}, {"screen_class", "HomeViewController"}});
  screenView({{"screen_name", "Cart"}});
  auto views = screenViewRows();
  center.removeObserver(token);
  ASSERT_EQ(views.size(), 2u);
  const platform::Dictionary home{{"_si", views[0].integer("_si")}, {"_sc", "HomeViewController"}, {"_sn", "Home"}};
  const platform::Dictionary cart{{"_si", views[1].integer("_si")}, {"_sn", "Cart"}};
  std::lock_guard<std::mutex> lock(changesMutex);
  EXPECT_EQ(changes, (std::vector<platform::Dictionary>{{{"screen", home}},
                                                        {{"previousScreen", home}, {"screen", cart}}}));
}

TEST_F(ScreenViewReporterTest, ExtraParametersOfAScreenViewAreCleanedAsAPublicEventsBeforeTheScreenViewIsWritten) {
  start();
  // The public value limit below the internal one, so a value is cut only where the public rules apply.
  applyConfig({{"measurement.upload.max_event_parameter_value_length", "100"}});
  // err: the problem recorded with the parameter's name; kept: the value "_vs" carries, "<absent>" when dropped.
  const struct {
    const char* what;
    std::string name;
    platform::Object value;
    int64_t err;
    std::string kept;
  } cases[] = {
      {"an internal name from the app", "_secret", platform::Object("x"), 3, "<absent>"},
      {"a value past the public length", "note", platform::Object(std::string(150, 'n')), 4, std::string(100, 'n')},
      {"an item list", "items", platform::Object(platform::Array{platform::Dictionary{{"item_id", "a"}}}), 12,
       "<absent>"},
      {"a valid parameter", "tab", platform::Object("main"), INT64_MIN, "main"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = screenViewRows().size();
    screenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}, {c.name, c.value}});
    auto views = screenViewRows();
    ASSERT_EQ(views.size(), before + 1);
    const Row& view = views.back();
    EXPECT_EQ(view.has(c.name) ? view.text(c.name) : "<absent>", c.kept);
    EXPECT_EQ(view.integer("_err"), c.err);
    if (c.err != INT64_MIN) {
      EXPECT_EQ(view.text("_ev"), c.name);
    }
    // The screen itself travels as screen parameters only.
    EXPECT_EQ(view.text("_sn"), "Home");
    EXPECT_FALSE(view.has("screen_name"));
    EXPECT_FALSE(view.has("screen_class"));
  }
}

TEST_F(ScreenViewReporterTest, AScreenChangeHandsTheEngagementOnTheLeftScreenToTheSession) {
  start();
  post(platform::kApplicationDidBecomeActiveNotification);
  const size_t before = rowsNamed("_e").size();
  clock_->advance(4);
  screenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  screenViewRows();
  EXPECT_EQ(rowsNamed("_e").size(), before);  // no screen was left

  clock_->advance(3);
  screenView({{"screen_name", "Cart"}});
  screenViewRows();
  auto engagements = rowsNamed("_e");
  ASSERT_EQ(engagements.size(), before + 1);
  EXPECT_EQ(engagements.back().text("_sn"), "Home");
  EXPECT_EQ(engagements.back().text("_sc"), "HomeView");
  EXPECT_EQ(engagements.back().integer("_et"), 7000);  // since the activation: the first view cut nothing
  // Logged as the screen view's work ran, at that moment's time, as any event without a time of its own.
  EXPECT_EQ(engagements.back().timestamp, kStartTime + 7);
}

// With the reporter owning the active state, the session hears of each activation change once,
// from the reporter: the resignation cuts the engagement since the activation, without a screen of
// its own.
TEST_F(ScreenViewReporterTest, ActivationChangesReachTheStartedEnginesSessionOnceThroughTheReporter) {
  start();
  post(platform::kApplicationDidBecomeActiveNotification);
  const size_t before = rowsNamed("_e").size();
  clock_->advance(5);
  post(platform::kApplicationWillResignActiveNotification);
  drain();
  auto engagements = rowsNamed("_e");
  ASSERT_EQ(engagements.size(), before + 1);
  EXPECT_EQ(engagements.back().integer("_et"), 5000);
  EXPECT_EQ(rowsNamed("_s").size(), 1u);
}

// A screen view's work waits for nobody on the caller's thread, yet what it logs (the "_e" of the
// screen left and the "_vs") is stored exactly where the host logged its "screen_view" among the
// events of that thread, even while the front is still busy with what came before.
TEST_F(ScreenViewReporterTest, AScreenViewIsStoredWhereItWasLoggedAmongTheEventsAroundIt) {
  start();
  post(platform::kApplicationDidBecomeActiveNotification);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  APMAnalyticsOperationQueue::queue()->async([released] { released.wait(); });
  std::atomic<bool> logged{false};
  std::thread host([&] {
    APMAnalytics::logEventWithName("a", {});
    screenView({{"screen_name", "Home"}});
    APMAnalytics::logEventWithName("b", {});
    clock_->advance(2);
    APMAnalytics::logEventWithName("c", {});
    screenView({{"screen_name", "Cart"}});
    APMAnalytics::logEventWithName("d", {});
    logged = true;
  });
  const bool returned = testsupport::waitFor([&] { return logged.load(); }, 3);
  release.set_value();
  host.join();
  EXPECT_TRUE(returned) << "the logging calls waited for the front";

  std::vector<std::string> order;  // from "a" on: the start stored events of its own
  for (const auto& row : rows()) {
    if (row.name == "a" || (!order.empty() && (row.name.size() == 1 || row.name == "_vs" || row.name == "_e"))) {
      order.push_back(row.name == "_e" || row.name == "_vs" ? row.name + ":" + row.text("_sn") : row.name);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a", "_vs:Home", "b", "c", "_e:Home", "_vs:Cart", "d"}));
}

TEST_F(ScreenViewReporterTest, ScreenViewsFromSeveralThreadsFormOneChainOfPreviousScreens) {
  start();
  constexpr int kThreads = 4;
  constexpr int kViewsPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kViewsPerThread; ++i) {
        screenView({{"screen_name", "s" + std::to_string(t) + "_" + std::to_string(i)}});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto views = screenViewRows();
  ASSERT_EQ(views.size(), static_cast<size_t>(kThreads * kViewsPerThread));
  std::set<int64_t> previous;
  for (size_t i = 1; i < views.size(); ++i) {
    EXPECT_EQ(views[i].integer("_pi"), views[i - 1].integer("_si")) << i;
    EXPECT_EQ(views[i].text("_pn"), views[i - 1].text("_sn")) << i;
    previous.insert(views[i].integer("_pi"));
  }
  EXPECT_EQ(previous.size(), views.size() - 1);
}

}  // namespace
}  // namespace fronttest
