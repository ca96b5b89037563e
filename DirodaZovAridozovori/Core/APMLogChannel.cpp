#include "APMLogChannel.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace {

struct Channel {
  std::mutex mutex;
  std::atomic<bool> hasSink{false};
  std::shared_ptr<const APMLogSink> sink;  // guarded by mutex; copied out before use
};

Channel& channel() {
  // Never destroyed: queues may still log while the process exits.
  static auto* c = new Channel;
  return *c;
}

}  // namespace

APMLogSink APMSetLogSink(APMLogSink sink) {
  auto installed = sink ? std::make_shared<const APMLogSink>(std::move(sink)) : nullptr;
  Channel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  std::shared_ptr<const APMLogSink> previous = std::exchange(c.sink, std::move(installed));
  c.hasSink = static_cast<bool>(c.sink);
  return previous ? *previous : APMLogSink();
}

bool APMHasLogSink() { return channel().hasSink.load(std::memory_order_acquire); }

void APMLogContexts(APMLogLevel level, APMLogCode code, std::string_view message, const APMMonitorContexts& contexts) {
  std::shared_ptr<const APMLogSink> sink;
  {
    Channel& c = channel();
    std::lock_guard<std::mutex> lock(c.mutex);
    sink = c.sink;
  }
  if (!sink) return APMMonitor::shared()->logWithLevel(level, code, message, contexts);
  (*sink)(APMLogLevelNumber(level), code.number(), std::string(message), contexts);
}

bool APMLogWouldProcess(APMLogLevel level) { return APMHasLogSink() || APMMonitor::shared()->wouldProcess(level); }
