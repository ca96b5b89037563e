#include "APMEMonitor.h"

#include <atomic>
#include <mutex>

namespace {

constexpr int64_t kVerboseLevel = 8;

std::atomic<bool> gHasSink{false};
std::mutex gSinkMutex;
APMELogSink gSink;  // guarded by gSinkMutex

}  // namespace

void APMEMonitor::setSink(APMELogSink sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  gHasSink = static_cast<bool>(sink);
  gSink = std::move(sink);
}

bool APMEMonitor::hasSink() { return gHasSink.load(std::memory_order_relaxed); }

void APMEMonitor::toSink(int64_t level, int64_t messageCode, std::string_view message,
                         const APMMonitorContexts& contexts) {
  APMELogSink sink;
  {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    sink = gSink;
  }
  if (sink) sink(level, messageCode, std::string(message), contexts);
}

bool APMEMonitor::wouldLog(int64_t level) const {
  if (hasSink()) return true;
  auto monitor = measurementMonitor();
  if (level == kVerboseLevel && !monitor->isVerboseLoggingEnabled()) return false;
  return monitor->isLoggableLevel(level) || APMMonitor::isMonitorableLevel(level);
}

std::string APMEMonitor::format(std::string_view message, std::string_view value) {
  std::string text(message);
  const size_t at = text.find("%@");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

std::exception_ptr APMEMonitor::runCatching(const std::function<void()>& block, int64_t messageCode,
                                            std::string_view message) {
  try {
    block();
    return nullptr;
  } catch (const std::exception& exception) {
    APMEMonitor().logWithLevel(1, messageCode, message, exception);
    return std::current_exception();
  } catch (...) {
    APMEMonitor().logWithLevel(1, messageCode, message, APMExceptionInfo::unknown());
    return std::current_exception();
  }
}
