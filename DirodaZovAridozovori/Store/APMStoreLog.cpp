#include "APMStoreLog.h"

#include <mutex>

#include "APMMonitor.h"

namespace {

std::mutex gSinkMutex;
APMStoreLogSink gSink;

void defaultSink(int level, int64_t code, const std::string& message, const APMMonitorContexts& contexts) {
  APMMonitor::shared()->logWithLevel(level, code, message, contexts);
}

}  // namespace

void APMSetStoreLogSink(APMStoreLogSink sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  gSink = std::move(sink);
}

void APMStoreLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts) {
  APMStoreLogSink sink;
  {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    sink = gSink;
  }
  if (sink) {
    sink(level, code, message, contexts);
  } else {
    defaultSink(level, code, message, contexts);
  }
}

platform::Error APMStoreError(int64_t code, const std::string& description) {
  return APMError::apm_errorWithCode(code, description);
}

bool APMFail(platform::Error* error, int64_t code, const std::string& description) {
  platform::setError(error, APMStoreError(code, description));
  return false;
}
