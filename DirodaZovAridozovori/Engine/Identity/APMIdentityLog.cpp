#include "APMIdentityLog.h"

#include <mutex>

#include "DirodaZovAridozovori/Core/APMMonitor.h"

namespace {

std::mutex sinkMutex;
APMIdentityLogSink installedSink;  // guarded by sinkMutex

void monitorSink(const APMIdentityLogEntry& entry) {
  APMMonitor::shared()->logWithLevel(entry.level, entry.code, entry.message, APMMonitorContexts{});
}

}  // namespace

void APMIdentityLog(int level, int64_t code, const std::string& message) {
  APMIdentityLogSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = installedSink;
  }
  APMIdentityLogEntry entry{level, code, message};
  if (sink) {
    sink(entry);
  } else {
    monitorSink(entry);
  }
}

APMIdentityLogSink APMSetIdentityLogSink(APMIdentityLogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  APMIdentityLogSink previous = std::move(installedSink);
  installedSink = std::move(sink);
  return previous;
}
