#pragma once
// The screen views whose work waits among the logged events, counted as they are queued and as
// they run (or are dropped unrun: each counts itself wherever it goes), so that a reader of the
// screens can wait for the ones queued before it, as a read behind them on their queue would.
//
// Any thread: the counts are guarded by their own mutex, taken alone or inside the screen-view
// reporter's screen mutex.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class APMQueuedScreenViews {
 public:
  // The longest a reader of the screens waits for the screen views queued before it.
  static constexpr double kQueuedScreenViewsWaitLimit = 2.0;

  void screenViewQueued();
  void screenViewRan();
  // Returns once every screen view queued so far has run, or after kQueuedScreenViewsWaitLimit.
  void waitForQueuedScreenViews();

 private:
  std::mutex countsMutex_;  // guards the two counts
  uint64_t screenViewsQueued_ = 0;
  uint64_t screenViewsRun_ = 0;
  std::condition_variable screenViewsDone_;
};
