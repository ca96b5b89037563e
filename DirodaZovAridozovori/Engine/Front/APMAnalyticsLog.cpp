#include "APMAnalyticsLog.h"

#include <memory>
#include <mutex>

#include "APMMonitor.h"

namespace {
std::mutex gSinkMutex;
std::shared_ptr<const APMAnalyticsLogSink> gSink;  // guarded by gSinkMutex; copied out before use
}  // namespace

void APMSetAnalyticsLogSink(APMAnalyticsLogSink sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  gSink = sink ? std::make_shared<const APMAnalyticsLogSink>(std::move(sink)) : nullptr;
}

void APMAnalyticsLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts) {
  std::shared_ptr<const APMAnalyticsLogSink> sink;
  {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    sink = gSink;
  }
  if (sink) {
    (*sink)(level, code, std::string(message), contexts);
    return;
  }
  APMMonitor::shared()->logWithLevel(level, code, message, contexts);
}
