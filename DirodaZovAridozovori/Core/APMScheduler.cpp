#include "APMScheduler.h"

#include <exception>

#include "APMMonitor.h"

namespace {

// Runs block, catching whatever escapes it; returns true when it ran to its end.
template <typename Block>
bool runGuarded(const Block& block, int64_t messageCode, const std::string& prefix, const std::string& blockID) {
  const std::string message = prefix + blockID + ". Exception";
  try {
    block();
    return true;
  } catch (const std::exception& exception) {
    APMMonitor::shared()->logWithLevel(1, messageCode, message, exception);
  } catch (...) {
    APMMonitor::shared()->logWithLevel(1, messageCode, message, APMExceptionInfo::unknown());
  }
  return false;
}

}  // namespace

bool APMScheduler::runGuardedBlockID(const std::string& blockID, const std::function<void()>& block) {
  return runGuarded(block, 30000, "Exception on worker queue. Block ID=", blockID);
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  if (!platform::isMainThread()) return true;
  const std::string name = methodName.empty() ? "<empty method name>" : methodName;
  APMMonitor::shared()->logWithLevel(1, 30001, "Method " + name + " should execute on background thread");
  return false;
}

APMScheduler::APMScheduler(const std::string& workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::create(workerQueueLabel)) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block) {
  if (!block) {
    APMMonitor::shared()->logWithLevel(
        1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  workerQueue_->async([blockID, block = std::move(block)] {
    runGuardedBlockID(blockID, block);
  });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const std::function<void()>& block) {
  if (!block) {
    APMMonitor::shared()->logWithLevel(
        1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool finished = false;
  workerQueue_->sync([&] {
    finished = runGuarded(block, 30003, "Exception on worker queue when processing sync block. Block ID=", blockID);
  });
  if (!finished) APMMonitor::shared()->logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
}
