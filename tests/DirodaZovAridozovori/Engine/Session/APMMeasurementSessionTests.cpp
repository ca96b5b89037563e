// Sessions through the whole engine: the host posts the application's activation notifications,
// a fake clock moves time, and the stored rows and user properties show what was reported.
#include <gtest/gtest.h>

#include <atomic>

#include "../EngineTestFixture.h"
#include "Front/APMAnalytics.h"
#include "Session/APMSessionReporter.h"
#include "platform/ApplicationNotifications.h"
#include "platform/NotificationCenter.h"

namespace enginetest {
namespace {

class EngineSessionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    // The front installs its engine hooks on first use; the lifecycle handlers use it, so it is
    // touched first and its hooks replaced by the few these tests need: activity as the handlers
    // record it, internal events on the engine's own road.
    APMAnalytics::setAppActive(true);
    APMAnalyticsHooks hooks;
    hooks.isAppActive = [] { return APMAnalytics::isAppActive(); };
    APMSetAnalyticsHooks(std::move(hooks));
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMAnalytics::setAppActive(true);
  }
  void becomeActive() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
    drain();
  }
  void resignActive() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    drain();
  }
  std::vector<int64_t> sessionNumbers() {
    std::vector<int64_t> numbers;
    for (const auto& row : rowsNamed("_s")) numbers.push_back(row.integer("_sno"));
    return numbers;
  }
};

TEST_F(EngineSessionTest, FirstActivityStartsSessionOneAndTimeoutStartsTheNext) {
  start();
  ASSERT_EQ(sessionNumbers(), (std::vector<int64_t>{1})) << "the first open starts the first session";
  auto first = rowsNamed("_s")[0];
  EXPECT_EQ(first.integer("_sid"), static_cast<int64_t>(kStartTime));

  struct Step {
    double idleSeconds;
    std::vector<int64_t> expected;
  } steps[] = {
      {60, {1}},           // within the default 30-minute timeout
      {1800, {1}},         // exactly the timeout: still the same session
      {1800.5, {1, 2}},    // past it: a new session with the next number
      {10, {1, 2}},
      {7200, {1, 2, 3}},
  };
  for (const auto& step : steps) {
    clock_->advance(step.idleSeconds);
    becomeActive();
    ASSERT_EQ(sessionNumbers(), step.expected) << step.idleSeconds;
    // Activation counts as activity: the next step measures from here.
    resignActive();
  }
  auto sessionNumber = userProperty("_sno");
  ASSERT_TRUE(sessionNumber);
  EXPECT_EQ(sessionNumber->value().int64Value(), 3);
  auto sessionID = userProperty("_sid");
  ASSERT_TRUE(sessionID);
  EXPECT_EQ(sessionID->value().int64Value(), rowsNamed("_s").back().integer("_sid"));
  EXPECT_EQ(engine().persistedConfig()->sessionNumber(), 3);
}

TEST_F(EngineSessionTest, ResigningActiveReportsTheEngagementTime) {
  start();
  becomeActive();
  const size_t before = rowsNamed("_e").size();
  clock_->advance(42.5);
  resignActive();
  auto engagements = rowsNamed("_e");
  ASSERT_EQ(engagements.size(), before + 1);
  EXPECT_EQ(engagements.back().integer("_et"), 42500);
  EXPECT_EQ(engagements.back().origin, "auto");
}

TEST_F(EngineSessionTest, EngagementTimerReportsAnHourAndPostsItsNotification) {
  std::atomic<int> fired{0};
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      APMSessionReporter::kEngagementTimerDidFireNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++fired; });
  start();
  becomeActive();
  const size_t before = rowsNamed("_e").size();
  clock_->advance(3600);
  ASSERT_TRUE(testsupport::waitFor([&] { return fired.load() == 1; }));
  drain();
  auto engagements = rowsNamed("_e");
  ASSERT_EQ(engagements.size(), before + 1);
  EXPECT_EQ(engagements.back().integer("_et"), 3600000);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(EngineSessionTest, BackgroundEventMayStartASessionWithTheNextNumber) {
  start();
  ASSERT_EQ(sessionNumbers(), (std::vector<int64_t>{1}));
  resignActive();
  clock_->advance(4000);
  logPublic("background_work", {{"extend_session", int64_t{1}}});
  EXPECT_EQ(sessionNumbers(), (std::vector<int64_t>{1, 2}));
  auto starts = rowsNamed("_s");
  EXPECT_EQ(starts.back().integer("_aib"), 1);
  clock_->advance(60);
  logPublic("background_work", {{"extend_session", int64_t{1}}});
  EXPECT_EQ(sessionNumbers(), (std::vector<int64_t>{1, 2})) << "a live session is extended, not restarted";
}

TEST_F(EngineSessionTest, SessionTimeoutSetThroughTheEngineApplies) {
  start();
  engine().setSessionTimeoutInterval(120);
  drain();
  clock_->advance(121);
  becomeActive();
  EXPECT_EQ(sessionNumbers(), (std::vector<int64_t>{1, 2}));
}

TEST_F(EngineSessionTest, DisabledCollectionStartsNoSession) {
  start();
  engine().setEnabled(false);
  drain();
  clock_->advance(4000);
  becomeActive();
  EXPECT_EQ(sessionNumbers(), (std::vector<int64_t>{1}));
  EXPECT_EQ(engine().persistedConfig()->sessionNumber(), 1);
}

}  // namespace
}  // namespace enginetest
