#include "APMUtilitiesLog.h"

#include <mutex>

#include "APMMonitor.h"

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

APMUtilitiesLogSink& installedSink() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& sink = *new APMUtilitiesLogSink;
  return sink;
}

void defaultSink(const APMUtilitiesLogEntry& entry) {
  APMMonitorContexts contexts(entry.contexts.begin(), entry.contexts.end());
  APMMonitor::shared()->logWithLevel(entry.level, entry.code, entry.message, contexts);
}

}  // namespace

void APMUtilitiesLog(int level, int64_t code, const std::string& message, platform::Array contexts) {
  APMUtilitiesLogEntry entry{level, code, message, std::move(contexts)};
  APMUtilitiesLogSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = installedSink();
  }
  if (sink) {
    sink(entry);
  } else {
    defaultSink(entry);
  }
}

APMUtilitiesLogSink APMSetUtilitiesLogSink(APMUtilitiesLogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  APMUtilitiesLogSink previous = std::move(installedSink());
  installedSink() = std::move(sink);
  return previous;
}
