#pragma once
// The owner of the measurement worker queue, and the only way the engine puts work on it.
//
// Every block carries a block ID ("APMMeasurement:" and a number) naming the site that submitted
// it. No exception ever leaves a worker block: each is caught and logged with the block ID (30000
// for asynchronous blocks, 30003 for synchronous ones, and 30004 on the caller's side of a failed
// synchronous block), and the queue carries on with the next block.

#include <functional>
#include <memory>
#include <string>

#include "platform/DispatchQueue.h"

class APMScheduler {
 public:
  static constexpr const char* kMeasurementWorkerQueueLabel = "com.diroda.zora.worker";

  // YES off the main thread. On the main thread logs 30001 and answers NO; callers carry on
  // either way (the check only reports).
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

  // Runs block on the calling thread, catching and logging (30000) whatever escapes it; true when it
  // ran to its end. For blocks that reach the worker queue without the scheduler (network replies,
  // alarms), which must not end the process either.
  static bool runGuardedBlockID(const std::string& blockID, const std::function<void()>& block);

  // initWithWorkerQueueLabel:
  explicit APMScheduler(const std::string& workerQueueLabel);

  // Queues block; an empty block is logged (30005) and dropped.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block);
  // Runs block on the worker queue and returns when it has finished or failed. Never call it from
  // a block that runs on another queue the worker queue waits for.
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const std::function<void()>& block);

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }

 private:
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
};
