#include "APMScheduler.h"

#include <exception>

#include "APMCoreLog.h"

namespace {

// Runs block, catching whatever escapes it; returns true when it ran to its end.
template <typename Block>
bool runGuarded(const Block& block, APMLogCode messageCode, const std::string& prefix, const std::string& blockID) {
  const std::string message = prefix + blockID + ". Exception";
  try {
    block();
    return true;
  } catch (const std::exception& exception) {
    APMLog(APMLogLevel::kErrorSampled, messageCode, message, exception);
  } catch (...) {
    APMLog(APMLogLevel::kErrorSampled, messageCode, message, APMExceptionInfo::unknown());
  }
  return false;
}

}  // namespace

bool APMScheduler::runGuardedBlockID(const std::string& blockID, const std::function<void()>& block) {
  return runGuarded(block, APMCoreLogCode::kWorkerQueueException, "Exception on worker queue. Block ID=", blockID);
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  if (!platform::isMainThread()) return true;
  const std::string name = methodName.empty() ? "<empty method name>" : methodName;
  APMLog(APMLogLevel::kErrorSampled, APMCoreLogCode::kNotOnBackgroundThread,
         "Method " + name + " should execute on background thread");
  return false;
}

APMScheduler::APMScheduler(const std::string& workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::create(workerQueueLabel)) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block) {
  if (!block) {
    APMLog(APMLogLevel::kErrorSampled, APMCoreLogCode::kNilAsyncBlock,
           "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  workerQueue_->async([blockID, block = std::move(block)] {
    runGuardedBlockID(blockID, block);
  });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const std::function<void()>& block) {
  if (!block) {
    APMLog(APMLogLevel::kErrorSampled, APMCoreLogCode::kNilSyncBlock,
           "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool finished = false;
  workerQueue_->sync([&] {
    finished = runGuarded(block, APMCoreLogCode::kWorkerQueueSyncException,
                          "Exception on worker queue when processing sync block. Block ID=", blockID);
  });
  if (!finished)
    APMLog(APMLogLevel::kWarningSampled, APMCoreLogCode::kSyncTaskFailed,
           "Synchronous task failed. Block ID=" + blockID);
}
