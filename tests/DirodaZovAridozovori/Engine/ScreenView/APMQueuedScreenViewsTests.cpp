// The count of screen views waiting among the events, on its own: a reader waits for the ones
// queued before it, whichever thread runs them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ScreenView/APMQueuedScreenViews.h"

namespace {

TEST(QueuedScreenViewsTest, AReaderReturnsOnlyOnceTheScreenViewsQueuedBeforeItHaveRun) {
  for (int queued : {1, 3}) {
    APMQueuedScreenViews views;
    for (int i = 0; i < queued; ++i) views.screenViewQueued();
    std::atomic<int> ran{0};
    std::atomic<int> ranWhenReaderReturned{-1};
    std::thread reader([&] {
      views.waitForQueuedScreenViews();
      ranWhenReaderReturned = ran.load();
    });
    // Gives a reader that does not wait the time to return early.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < queued; ++i) {
      ++ran;
      views.screenViewRan();
    }
    reader.join();
    EXPECT_EQ(ranWhenReaderReturned.load(), queued);
  }
}

}  // namespace
