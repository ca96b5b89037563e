#include "APMAudienceLog.h"

#include <mutex>

#include "APMMonitor.h"

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

APMAudienceLogSink& installedSink() {
  static APMAudienceLogSink sink;
  return sink;
}

}  // namespace

void APMAudienceLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts) {
  APMAudienceLogSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = installedSink();
  }
  if (!sink) {
    APMMonitor::shared()->logWithLevel(level, code, message, contexts);
    return;
  }
  sink(APMAudienceLogEntry{level, code, message, std::move(contexts)});
}

APMAudienceLogSink APMSetAudienceLogSink(APMAudienceLogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  APMAudienceLogSink previous = std::move(installedSink());
  installedSink() = std::move(sink);
  return previous;
}
