// The ad exposure reporter on its own: a fake clock moves the monotonic time, a fake engine context
// stands in for its engine (events, active state, current screen).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../FakeEngineContext.h"
#include "APMMonitor.h"
#include "AdExposure/APMAdExposureReporter.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "TestSupport.h"
#include "platform/ApplicationNotifications.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

struct Logged {
  std::string origin, name;
  platform::Dictionary parameters;
};

const platform::Dictionary kHome{{"_sn", "home"}, {"_sc", "HomeView"}, {"_si", 11}};
const platform::Dictionary kDetail{{"_sn", "detail"}, {"_sc", "DetailView"}, {"_si", 12}};

// The installed fake clock, or a clock that cannot be read (uptime 0) while failing is set.
class FailingClock final : public platform::Clock {
 public:
  explicit FailingClock(std::shared_ptr<platform::FakeClock> working) : working_(std::move(working)) {}
  double now() const override { return working_->now(); }
  double uptime() const override { return failing ? 0 : working_->uptime(); }
  std::atomic<bool> failing{false};

 private:
  std::shared_ptr<platform::FakeClock> working_;
};

class AdExposureReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMMonitor::resetSharedForTesting();
    platform::installClock(clock_);
    engine_->setScreen(kHome);
    reporter_ = APMAdExposureReporter::create();
    reporter_->attachToEngine(engine_);
  }

  void TearDown() override {
    reporter_.reset();
    platform::installClock(nullptr);
    APMMonitor::resetSharedForTesting();
    platform::UserDefaultsRegistry::resetForTesting();
  }

  void advance(double seconds) { clock_->advance(seconds); }

  // The events logged so far, forgotten afterwards.
  std::vector<Logged> take() {
    reporter_->openAdUnitCount();  // waits for queued begins
    std::vector<Logged> logged;
    for (auto& event : std::exchange(engine_->events, {})) logged.push_back({event.origin, event.name, event.parameters});
    return logged;
  }

  static Logged unit(const std::string& id, int64_t millis, platform::Dictionary screen) {
    screen["_ai"] = id;
    screen["_xt"] = millis;
    return {"am", "_xu", screen};
  }
  static Logged any(int64_t millis, platform::Dictionary screen) {
    screen["_xt"] = millis;
    return {"am", "_xa", screen};
  }

  testsupport::ScopedDataDirectory dataDirectory_;  // the monitor keeps its sampled data in the defaults
  std::shared_ptr<platform::FakeClock> clock_ = std::make_shared<platform::FakeClock>(1699956000.0, 1000.0);
  std::shared_ptr<enginetest::FakeEngineContext> engine_ = std::make_shared<enginetest::FakeEngineContext>();
  std::shared_ptr<APMAdExposureReporter> reporter_;
};

bool operator==(const Logged& a, const Logged& b) {
  return a.origin == b.origin && a.name == b.name && a.parameters == b.parameters;
}

void PrintTo(const Logged& logged, std::ostream* out) {
  *out << logged.origin << " " << logged.name << " " << platform::Object(logged.parameters).description();
}

TEST_F(AdExposureReporterTest, UnitsCloseWhenEveryBeginIsEndedAndAnyAdWhenTheLastUnitCloses) {
  reporter_->beginAdUnitExposure("A");
  reporter_->beginAdUnitExposure("A");
  advance(2);
  reporter_->endAdUnitExposure("A");
  EXPECT_TRUE(take().empty());
  reporter_->beginAdUnitExposure("B");
  advance(1);
  reporter_->endAdUnitExposure("A");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 3000, kHome)}));
  advance(2);
  engine_->setScreen(kDetail);
  reporter_->endAdUnitExposure("B");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("B", 3000, kDetail), any(5000, kDetail)}));
}

TEST_F(AdExposureReporterTest, SlicesAreCutAtScreenChangesTimerTicksAndResignationAndRestartedOnActivation) {
  reporter_->beginAdUnitExposure("A");
  reporter_->beginAdUnitExposure("B");
  advance(1.5);
  reporter_->handleScreenDidChangeFromScreen(nullptr);  // no screen left: nothing to cut
  reporter_->handleScreenDidChangeFromScreen(&kDetail);
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1500, kDetail), unit("B", 1500, kDetail), any(1500, kDetail)}));

  advance(1.25);
  platform::NotificationCenter::defaultCenter().post("kAPMSessionReporterEngagementTimerDidFire");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1250, kHome), unit("B", 1250, kHome), any(1250, kHome)}));

  advance(2);
  reporter_->handleAppWillResignActiveWithScreen(kDetail);
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 2000, kDetail), unit("B", 2000, kDetail), any(2000, kDetail)}));
  advance(3);
  reporter_->handleAppWillResignActiveWithScreen(platform::Dictionary{});  // empty: the current screen
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 3000, kHome), unit("B", 3000, kHome), any(3000, kHome)}));

  advance(500);  // inactive: not exposure
  reporter_->handleAppDidBecomeActive();
  advance(1);
  reporter_->endAdUnitExposure("A");
  reporter_->endAdUnitExposure("B");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1000, kHome), unit("B", 1000, kHome), any(1000, kHome)}));
}

// Nobody calls the reporter: the screen-view reporter's screen changes and the application's
// resignation cut the slices, activation restarts them.
TEST_F(AdExposureReporterTest, NotificationsOfScreenChangesAndActivationCutAndRestartTheSlices) {
  auto& center = platform::NotificationCenter::defaultCenter();
  auto screenChange = [&](platform::Dictionary change) {
    center.post(APMScreenViewEvents::kScreenDidChangeNotification, nullptr, std::move(change));
  };
  reporter_->beginAdUnitExposure("A");
  advance(2);
  screenChange({{APMScreenViewEvents::kScreenKey, kDetail}});  // the first screen: none was left
  EXPECT_TRUE(take().empty());
  screenChange({{APMScreenViewEvents::kPreviousScreenKey, kDetail}, {APMScreenViewEvents::kScreenKey, kHome}});
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 2000, kDetail), any(2000, kDetail)}));

  advance(1.5);
  center.post(platform::kApplicationWillResignActiveNotification);
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1500, kHome), any(1500, kHome)}));
  advance(100);  // away: not exposure
  center.post(platform::kApplicationDidBecomeActiveNotification);
  advance(1);
  reporter_->endAdUnitExposure("A");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1000, kHome), any(1000, kHome)}));
}

TEST_F(AdExposureReporterTest, RefusedCallsLeaveTheOpenUnitsAlone) {
  for (int i = 0; i < 100; ++i) reporter_->beginAdUnitExposure("unit" + std::to_string(i));
  const struct {
    const char* what;
    std::function<void(APMAdExposureReporter&)> call;
  } cases[] = {
      {"empty begin", [](APMAdExposureReporter& r) { r.beginAdUnitExposure(""); }},
      {"a 101st unit", [](APMAdExposureReporter& r) { r.beginAdUnitExposure("unit100"); }},
      {"empty end", [](APMAdExposureReporter& r) { r.endAdUnitExposure(""); }},
      {"end of a unit never begun", [](APMAdExposureReporter& r) { r.endAdUnitExposure("unit100"); }},
  };
  for (const auto& c : cases) {
    c.call(*reporter_);
    EXPECT_EQ(reporter_->openAdUnitCount(), 100u) << c.what;
  }
  // At the limit an open unit is not counted again either: one end closes it.
  reporter_->beginAdUnitExposure("unit7");
  advance(2);
  reporter_->endAdUnitExposure("unit7");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("unit7", 2000, kHome)}));
  EXPECT_EQ(reporter_->openAdUnitCount(), 99u);
}

TEST_F(AdExposureReporterTest, SlicesCutWhileInactiveOrDisabledAreDroppedButRestarted) {
  const struct {
    const char* what;
    std::function<void(bool)> set;
  } cases[] = {
      {"inactive", [this](bool on) { engine_->active = on; }},
      {"disabled", [this](bool on) { reporter_->setReportingEnabled(on); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reporter_->beginAdUnitExposure("A");
    advance(2);
    c.set(false);
    reporter_->handleEngagementTimer();
    EXPECT_TRUE(take().empty());
    c.set(true);
    advance(1.5);
    reporter_->endAdUnitExposure("A");
    EXPECT_EQ(take(), (std::vector<Logged>{unit("A", 1500, kHome), any(1500, kHome)}));
  }
}

TEST_F(AdExposureReporterTest, AFailedClockReadingLogsNothing) {
  auto failing = std::make_shared<FailingClock>(clock_);
  platform::installClock(failing);
  EXPECT_EQ(APMAdExposureReporter::currentTime(), 1000.0);
  failing->failing = true;
  EXPECT_EQ(APMAdExposureReporter::currentTime(), -1.0);
  reporter_->beginAdUnitExposure("A");  // started at an unknown time
  failing->failing = false;
  advance(5);
  reporter_->endAdUnitExposure("A");
  reporter_->beginAdUnitExposure("B");
  advance(2);
  failing->failing = true;
  reporter_->endAdUnitExposure("B");  // ended at an unknown time
  EXPECT_TRUE(take().empty());

  // Once the clock reads again, the next slice is measured as usual.
  failing->failing = false;
  reporter_->beginAdUnitExposure("C");
  advance(1.5);
  reporter_->endAdUnitExposure("C");
  EXPECT_EQ(take(), (std::vector<Logged>{unit("C", 1500, kHome), any(1500, kHome)}));
}

}  // namespace
