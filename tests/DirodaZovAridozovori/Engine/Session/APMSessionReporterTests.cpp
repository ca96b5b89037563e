// The session reporter on its own: a fake clock moves time, a recording host stands in for the
// front, and the engagement timer runs on the main queue that the tests drain.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "Session/APMSessionReporter.h"
#include "TestSupport.h"
#include "platform/NotificationCenter.h"

namespace {

constexpr double kStart = 1699956000.0;

struct LoggedEvent {
  std::string name;
  platform::Dictionary parameters;
  int64_t integer(const std::string& key) const {
    auto found = parameters.find(key);
    return found == parameters.end() ? INT64_MIN : found->second.integerValue();
  }
  bool has(const std::string& key) const { return parameters.count(key) != 0; }
};

class SessionReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    APMMonitor::resetSharedForTesting();
    persisted_ = APMPersistedConfig::sharedInstance();
  }

  void TearDown() override {
    reporter_.reset();
    platform::DispatchQueue::main()->drain();
    APMPersistedConfig::resetSharedInstanceForTesting();
    APMMonitor::resetSharedForTesting();
  }

  APMSessionReporterHost host() {
    APMSessionReporterHost host;
    host.logInternalEvent = [this](const std::string& name, const platform::Dictionary& parameters) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({name, parameters});
    };
    host.setInternalUserProperty = [this](const platform::Object& value, const std::string& name) {
      std::lock_guard<std::mutex> lock(mutex_);
      properties_.emplace_back(name, value);
    };
    host.isAppActive = [this] { return active_.load(); };
    host.settings = [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      return settings_;
    };
    return host;
  }

  APMSessionReporter& make() {
    reporter_ = APMSessionReporter::create(persisted_, host());
    return *reporter_;
  }

  std::vector<LoggedEvent> eventsNamed(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LoggedEvent> matching;
    for (const auto& event : events_) {
      if (event.name == name) matching.push_back(event);
    }
    return matching;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kStart};
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMSessionReporter> reporter_;
  std::atomic<bool> active_{true};
  std::mutex mutex_;
  APMSessionSettings settings_;
  std::vector<LoggedEvent> events_;
  std::vector<std::pair<std::string, platform::Object>> properties_;
};

TEST_F(SessionReporterTest, EngagementTimeIsReportedInMillisecondsAndCappedAtAnHour) {
  struct Case {
    double engagedSeconds;
    int64_t expectedMilliseconds;
  } cases[] = {{0.25, 250}, {3599.5, 3599500}, {3600, 3600000}, {3601, 3600000}};
  auto& reporter = make();
  reporter.setReportingEnabled(true);
  for (const auto& c : cases) {
    reporter.handleAppDidBecomeActive();
    clock_->advance(c.engagedSeconds);
    EXPECT_EQ(reporter.logEngagementEventAndReturnTimeWithScreen(std::nullopt, false), c.expectedMilliseconds)
        << c.engagedSeconds;
    ASSERT_FALSE(eventsNamed("_e").empty());
    EXPECT_EQ(eventsNamed("_e").back().integer("_et"), c.expectedMilliseconds) << c.engagedSeconds;
  }
}

TEST_F(SessionReporterTest, ActivationStartsANewSessionOnlyAfterTheTimeout) {
  struct Case {
    double idleSeconds;
    bool startsSession;
  } cases[] = {{1800, false}, {1800.5, true}, {86400, true}};
  for (const auto& c : cases) {
    events_.clear();
    persisted_->session().setSessionNumber(7);
    persisted_->session().setLastSessionActivityClockTime(platform::now());
    auto& reporter = make();
    reporter.setReportingEnabled(true);
    clock_->advance(c.idleSeconds);
    reporter.handleAppDidBecomeActive();
    auto starts = eventsNamed("_s");
    ASSERT_EQ(starts.size(), c.startsSession ? 1u : 0u) << c.idleSeconds;
    if (!c.startsSession) {
      EXPECT_EQ(persisted_->session().sessionNumber(), 7);
      continue;
    }
    EXPECT_EQ(starts[0].integer("_sno"), 8);
    EXPECT_EQ(starts[0].integer("_sid"), static_cast<int64_t>(platform::now()));
    EXPECT_EQ(persisted_->session().sessionNumber(), 8);
    EXPECT_DOUBLE_EQ(persisted_->session().lastSessionActivityClockTime(), platform::now());
  }
}

// The stored number comes from the persisted file, which may hold any number: the next session
// takes the one after it, and one at the top of the range keeps it instead of overflowing.
TEST_F(SessionReporterTest, ANewSessionTakesTheNumberAfterTheStoredOne) {
  const std::pair<int64_t, int64_t> cases[] = {
      {0, 1}, {41, 42}, {-5, -4}, {INT64_MAX - 1, INT64_MAX}, {INT64_MAX, INT64_MAX}};
  for (const auto& [stored, next] : cases) {
    persisted_->session().setSessionNumber(stored);
    auto& reporter = make();
    EXPECT_EQ(reporter.updatePropertiesForNewSessionStart(), next) << stored;
    EXPECT_EQ(persisted_->session().sessionNumber(), next) << stored;
  }
}

TEST_F(SessionReporterTest, SessionStartClearsThenSetsTheSessionProperties) {
  auto& reporter = make();
  reporter.setReportingEnabled(true);
  clock_->advance(0.75);
  reporter.handleAppDidBecomeActive();
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> set;
  for (const auto& [name, value] : properties_) {
    set.push_back(name + "=" + (value.isNull() ? "none" : std::to_string(value.integerValue())));
  }
  EXPECT_EQ(set, (std::vector<std::string>{"_sid=none", "_sno=none", "_sid=1699956000", "_sno=1"}));
}

TEST_F(SessionReporterTest, NothingIsReportedWhileInactiveOrDisabled) {
  for (bool active : {false, true}) {
    active_ = active;
    auto& reporter = make();
    reporter.setReportingEnabled(!active);
    clock_->advance(4000);
    reporter.handleAppDidBecomeActive();
    reporter.logSessionStartEvent();
    EXPECT_EQ(reporter.logEngagementEventAndReturnTimeWithScreen(std::nullopt, false), 0);
    EXPECT_TRUE(events_.empty()) << "active " << active;
  }
}

TEST_F(SessionReporterTest, ScreenChangesFollowTheEngagementSettings) {
  struct Case {
    bool efficient;
    bool removeRedundant;
    double engagedSeconds;
    bool reports;
    bool freeride;
  } cases[] = {
      {false, false, 0.5, false, false}, {false, false, 2, true, false}, {true, false, 2, true, true},
      {true, true, 2, false, false},     {false, true, 2, true, false},
  };
  const platform::Dictionary from{{"_sn", "Home"}, {"_sc", "HomeView"}, {"_si", int64_t{42}}};
  for (const auto& c : cases) {
    events_.clear();
    settings_.efficientEngagementReportingEnabled = c.efficient;
    settings_.redundantEngagementRemovalEnabled = c.removeRedundant;
    auto& reporter = make();
    reporter.setReportingEnabled(true);
    reporter.handleAppDidBecomeActive();
    events_.clear();
    clock_->advance(c.engagedSeconds);
    reporter.handleScreenDidChangeFromScreen(from, std::nullopt);
    auto engagements = eventsNamed("_e");
    ASSERT_EQ(engagements.size(), c.reports ? 1u : 0u) << c.efficient << c.removeRedundant << c.engagedSeconds;
    if (!c.reports) continue;
    EXPECT_EQ(engagements[0].integer("_et"), static_cast<int64_t>(c.engagedSeconds * 1000));
    EXPECT_EQ(engagements[0].parameters.at("_sn").stringValue(), "Home");
    EXPECT_EQ(engagements[0].integer("_si"), 42);
    EXPECT_EQ(engagements[0].has("_fr"), c.freeride);
  }
}

TEST_F(SessionReporterTest, StoredTimeoutIsUsedOnceThenCleared) {
  persisted_->session().setSessionTimeoutValue(60.0);
  EXPECT_EQ(make().timeoutSessionInterval(), 60);
  EXPECT_FALSE(persisted_->session().sessionTimeoutValue().has_value());
  settings_.sessionDefaultTimeoutInterval = 900;
  EXPECT_EQ(make().timeoutSessionInterval(), 900);
}

TEST_F(SessionReporterTest, ConcurrentSessionStartsNeverShareANumber) {
  // Two reporters over the same stored state (an engine's old one and its replacement) and the
  // worker and main queues all starting sessions at once.
  auto first = APMSessionReporter::create(persisted_, host());
  auto second = APMSessionReporter::create(persisted_, host());
  constexpr int kThreads = 8;
  constexpr int kStartsPerThread = 200;
  std::vector<std::vector<int64_t>> numbers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto& reporter = (t % 2 == 0) ? *first : *second;
      for (int i = 0; i < kStartsPerThread; ++i) numbers[t].push_back(reporter.updatePropertiesForNewSessionStart());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int64_t> distinct;
  for (const auto& list : numbers) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kStartsPerThread));
  EXPECT_EQ(persisted_->session().sessionNumber(), kThreads * kStartsPerThread);
  EXPECT_EQ(*distinct.begin(), 1);
}

TEST_F(SessionReporterTest, EngagementTimerPostsItsNotificationAndReportsTheInterval) {
  settings_.sessionEventUserEngagementInterval = 600;
  std::atomic<int> fired{0};
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      APMSessionEvents::kEngagementTimerDidFireNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++fired; });
  auto& reporter = make();
  reporter.setReportingEnabled(true);
  ASSERT_TRUE(reporter.userEngagementTimer()->scheduledTimestamp().has_value());
  EXPECT_DOUBLE_EQ(*reporter.userEngagementTimer()->scheduledTimestamp(), kStart + 600);
  EXPECT_EQ(reporter.userEngagementTimer()->name(), "Engagement timer");

  clock_->advance(600);
  ASSERT_TRUE(testsupport::waitFor([&] { return fired.load() == 1 && eventsNamed("_e").size() == 1; }));
  ASSERT_TRUE(testsupport::waitFor([&] { return reporter.userEngagementTimer()->scheduledTimestamp().has_value(); }));
  EXPECT_DOUBLE_EQ(*reporter.userEngagementTimer()->scheduledTimestamp(), kStart + 1200);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(SessionReporterTest, ResigningActiveReportsTheScreenAndStopsTheTimer) {
  auto& reporter = make();
  reporter.setReportingEnabled(true);
  reporter.handleAppDidBecomeActive();
  events_.clear();
  clock_->advance(42);
  reporter.handleAppWillResignActiveWithScreen(platform::Dictionary{{"_sn", "Settings"}});
  auto engagements = eventsNamed("_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].integer("_et"), 42000);
  EXPECT_EQ(engagements[0].parameters.at("_sn").stringValue(), "Settings");
  EXPECT_FALSE(reporter.userEngagementTimer()->hasActiveTimer());
  EXPECT_DOUBLE_EQ(persisted_->session().lastSessionActivityClockTime(), kStart + 42);
}

TEST_F(SessionReporterTest, SessionStartEventForTheEngine) {
  for (bool background : {true, false}) {
    auto event = APMSessionStartEvent(9, background, 1700000500.75, {{"_sn", "Home"}, {"_sc", "HomeView"}});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->name(), "_s");
    EXPECT_EQ(event->origin(), "auto");
    ASSERT_TRUE(event->parameter("_sid"));
    EXPECT_EQ(event->parameter("_sid")->int64Value(), 1700000500);
    EXPECT_EQ(event->parameter("_sno")->int64Value(), 9);
    EXPECT_EQ(event->parameter("_aib") != nullptr, background);
    EXPECT_EQ(event->parameter("_sn") != nullptr, !background);
  }
}

}  // namespace
