#include "APMLogChannel.h"

#include <utility>

#include "APMMonitor.h"

void APMLogChannel::setSink(Sink sink) {
  auto installed = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(installed);
}

void APMLogChannel::log(int64_t level, int64_t code, std::string_view message,
                        const APMMonitorContexts& contexts) const {
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
  }
  if (sink) return (*sink)(level, code, std::string(message), contexts);
  APMMonitor::shared()->logWithLevel(level, code, message, contexts);
}
