// The bound on events accepted but not yet stored: past the cap callers wait for room, nothing is
// dropped, a burst of waiting is counted and logged once, and callers that must not wait never do.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "FrontTestFixture.h"
#include "platform/DispatchQueue.h"

namespace fronttest {
namespace {

constexpr int64_t kWaitForRoomLogCode = 25062;
constexpr size_t kCap = 2048;
// "burst" with two small integers, no screen: well under this in any compact form.
constexpr size_t kLargestEvent = 128;

// Logs perThread events named "burst" from each of threads threads, tagged with the round.
void logBurst(int round, int threads, int perThread) {
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([=] {
      for (int i = 0; i < perThread; ++i) {
        APMAnalytics::logEventWithName(
            "burst", {{"round", platform::Object(round)}, {"thread", platform::Object(t)}, {"seq", platform::Object(i)}});
      }
    });
  }
  for (auto& caller : callers) caller.join();
}

TEST_F(FakeClockFrontTest, PastTheCapCallersWaitAndEveryEventIsStoredOnceWithOneLogLinePerBurst) {
  start();
  APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{kCap});
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;

  logBurst(0, kThreads, kPerThread);
  const auto afterFirst = APMAnalyticsOperationQueue::eventRoadStatistics();
  EXPECT_GT(afterFirst.waits, 0u) << "a cap of 2 KiB holds a few dozen events: callers had to wait";
  EXPECT_EQ(linesWithCode(kWaitForRoomLogCode).size(), 1u);
  drain();
  // Within a second of the last wait a new wait belongs to the same burst; a second later it does not.
  clock_->advance(1.0);
  logBurst(1, kThreads, kPerThread);
  drain();
  const auto statistics = APMAnalyticsOperationQueue::eventRoadStatistics();
  EXPECT_GT(statistics.waits, afterFirst.waits);
  EXPECT_EQ(linesWithCode(kWaitForRoomLogCode).size(), 2u);
  EXPECT_LE(statistics.peakWaitingBytes, kCap + kLargestEvent);
  EXPECT_GT(statistics.peakWaitingBytes, kCap / 2);
  EXPECT_EQ(statistics.waitingBytes, 0u) << "every stored event gave its room back";

  // Each thread's events exactly once, in call order, in both rounds.
  auto stored = rowsNamed("burst");
  ASSERT_EQ(stored.size(), static_cast<size_t>(2 * kThreads * kPerThread));
  std::vector<std::vector<int64_t>> nextSeq(2, std::vector<int64_t>(kThreads, 0));
  for (const auto& row : stored) {
    const int64_t round = row.integer("round");
    const int64_t thread = row.integer("thread");
    ASSERT_TRUE(round >= 0 && round < 2 && thread >= 0 && thread < kThreads) << round << " " << thread;
    EXPECT_EQ(row.integer("seq"), nextSeq[round][thread]++) << "round " << round << " thread " << thread;
  }
}

// Callers that must not wait: before start nothing makes room yet, and on one of the SDK's own
// queues the road may need that very queue. Each logs past a cap of one byte and must return.
TEST_F(FakeClockFrontTest, CallersBeforeStartOrOnTheSDKsQueuesNeverWait) {
  APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{1});
  auto logTwenty = [](const char* name) {
    for (int i = 0; i < 20; ++i) APMAnalytics::logEventWithName(name, {{"seq", platform::Object(i)}});
  };
  auto beforeStart = std::async(std::launch::async, [&] { logTwenty("before_start"); });
  ASSERT_EQ(beforeStart.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "a caller before start waited";
  start();

  // The worker is held, so nothing is stored and no room is made while the queue's block logs.
  std::promise<void> release;
  auto held = release.get_future().share();
  engine()->setup().scheduler->workerQueue()->async([held] { held.wait(); });
  auto queue = platform::DispatchQueue::create("com.diroda.test.component");
  std::promise<void> logged;
  queue->async([&] {
    logTwenty("on_queue");
    logged.set_value();
  });
  const bool returned = logged.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(returned) << "a caller on an SDK queue waited";
  queue->sync([] {});
  EXPECT_EQ(APMAnalyticsOperationQueue::eventRoadStatistics().waits, 0u);
  EXPECT_EQ(rowsNamed("before_start").size(), 20u);
  EXPECT_EQ(rowsNamed("on_queue").size(), 20u);
}

// User-property changes wait among the events like events and hold room too: past the cap their
// caller waits, and each gives its room back once handed on, nothing dropped.
TEST_F(FakeClockFrontTest, UserPropertyChangesWaitingAmongEventsHoldRoomLikeEvents) {
  start();
  APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{kCap});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  APMAnalyticsOperationQueue::queue()->async([released] { released.wait(); });
  constexpr int kChanges = 40;  // far more than 2 KiB holds
  auto caller = std::async(std::launch::async, [] {
    for (int i = 0; i < kChanges; ++i) {
      APMAnalyticsUserProperties::setUserPropertyString(platform::Object("v" + std::to_string(i)), "p" + std::to_string(i % 5));
    }
  });
  const bool waited = testsupport::waitFor([] { return APMAnalyticsOperationQueue::eventRoadStatistics().waits > 0; });
  release.set_value();
  const bool done = caller.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{});  // frees a caller left waiting
  caller.wait();
  EXPECT_TRUE(done) << "the caller never got room";
  EXPECT_TRUE(waited) << "the changes held no room: the caller never waited";
  drain();
  const auto statistics = APMAnalyticsOperationQueue::eventRoadStatistics();
  EXPECT_LE(statistics.peakWaitingBytes, kCap + 512);
  EXPECT_EQ(statistics.waitingBytes, 0u) << "every change gave its room back";
  for (int i = kChanges - 5; i < kChanges; ++i) {
    auto property = userProperty("p" + std::to_string(i % 5));
    ASSERT_TRUE(property);
    EXPECT_EQ(property->value().stringValue(), "v" + std::to_string(i));
  }
}

}  // namespace
}  // namespace fronttest
