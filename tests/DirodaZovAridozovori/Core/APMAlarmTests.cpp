#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "APMAlarm.h"
#include "CoreTestFixture.h"
#include "platform/Timer.h"

namespace {

class APMAlarmTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    DULLoggerSetLevel(7);  // the alarm's own lines are debug lines
  }
  void drain() { queue_->sync([] {}); }
  // Waits until the timer has handed its firing to the (suspended) queue.
  bool waitUntilQueued() {
    return testsupport::waitFor([&] { return queue_->pendingCount() == 1; });
  }

  testsupport::ScopedFakeClock clock_{1700000000.0};
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("test.alarm");
};

}  // namespace

TEST_F(APMAlarmTest, FiresOnItsQueueWhenTheClockReachesTheDeadline) {
  APMAlarm alarm(queue_, "Measurement timer");
  std::atomic<int> fired{0};
  std::atomic<bool> onQueue{false};
  alarm.runAfterDelay(10, [&] {
    onQueue = queue_->isCurrent();
    ++fired;
  });
  EXPECT_EQ(alarm.scheduledTimestamp(), 1700000010.0);

  clock_->advance(9.5);
  EXPECT_EQ(fired, 0) << "not due yet";
  clock_->advance(1);
  ASSERT_TRUE(testsupport::waitFor([&] { return fired == 1; }));
  drain();
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(alarm.hasActiveTimer());
  EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         line(2002, "Measurement timer scheduled to fire in approx. (s): 10"),
                         line(2001, "Measurement timer fired"),
                         line(2003, "Measurement timer canceled"),
                     }));
}

// Once the timer has handed a firing to the queue, cancelling, re-arming or destroying the alarm
// before the block runs must still win.
TEST_F(APMAlarmTest, QueuedFiringOfAWithdrawnArmingNeverRuns) {
  std::vector<int> ran;
  auto alarm = std::make_unique<APMAlarm>(queue_, "A");
  auto queueFiringThen = [&](const std::function<void()>& withdraw) {
    queue_->suspend();
    alarm->runAfterDelay(0, [&] { ran.push_back(1); });
    ASSERT_TRUE(waitUntilQueued());
    withdraw();
    queue_->resume();
    drain();
  };
  queueFiringThen([&] { alarm->cancel(); });
  queueFiringThen([&] { alarm->runAfterDelay(100, [&] { ran.push_back(2); }); });
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(alarm->hasActiveTimer());
  clock_->advance(100);
  ASSERT_TRUE(testsupport::waitFor([&] { return !alarm->hasActiveTimer(); }));
  drain();
  EXPECT_EQ(ran, std::vector<int>{2}) << "the replacement still fires";
  queueFiringThen([&] { alarm.reset(); });
  EXPECT_EQ(ran, std::vector<int>{2});

  // Destroying an armed alarm releases its timer.
  alarm = std::make_unique<APMAlarm>(queue_, "B");
  alarm->runAfterDelay(50, [&] { ran.push_back(3); });
  size_t pending = platform::TimerService::shared().pendingCount();
  alarm.reset();
  EXPECT_EQ(platform::TimerService::shared().pendingCount(), pending - 1);
  clock_->advance(100);
  drain();
  EXPECT_EQ(ran, std::vector<int>{2});
}

TEST_F(APMAlarmTest, BlockMayRearmItsOwnAlarm) {
  APMAlarm alarm(queue_, "Loop");
  std::atomic<int> runs{0};
  std::function<void()> tick = [&] {
    if (++runs < 3) alarm.runAfterDelay(0, tick);
  };
  alarm.runAfterDelay(0, tick);
  ASSERT_TRUE(testsupport::waitFor([&] { return runs == 3; }));
  drain();
  EXPECT_FALSE(alarm.hasActiveTimer());
}

TEST_F(APMAlarmTest, ArmingAndCancellingFromManyThreads) {
  APMAlarm alarm(queue_, "Contended");
  std::atomic<int> runs{0};
  std::atomic<int> armings{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < 200; ++i) {
        const auto action = random() % 3;
        if (action == 0) {
          alarm.runAfterDelay(0, [&] { ++runs; });
          ++armings;
        } else if (action == 1) {
          alarm.cancel();
        } else {
          (void)alarm.scheduledTimestamp();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  alarm.cancel();
  drain();
  int settled = runs;
  // Once cancelled, nothing armed earlier may run any more.
  clock_->advance(10);
  drain();
  EXPECT_EQ(runs, settled);
  EXPECT_LE(runs, armings);
  EXPECT_FALSE(alarm.hasActiveTimer());
  EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
}
