#include "APMQueuedScreenViews.h"

#include <chrono>

void APMQueuedScreenViews::screenViewQueued() {
  std::lock_guard<std::mutex> counts(countsMutex_);
  ++screenViewsQueued_;
}

void APMQueuedScreenViews::screenViewRan() {
  {
    std::lock_guard<std::mutex> counts(countsMutex_);
    ++screenViewsRun_;
  }
  screenViewsDone_.notify_all();
}

void APMQueuedScreenViews::waitForQueuedScreenViews() {
  std::unique_lock<std::mutex> counts(countsMutex_);
  const uint64_t queued = screenViewsQueued_;
  screenViewsDone_.wait_for(counts, std::chrono::duration<double>(kQueuedScreenViewsWaitLimit),
                            [&] { return screenViewsRun_ >= queued; });
}
