#include "APMAnalyticsLog.h"

#include "APMLogChannel.h"

namespace {
APMLogChannel& analyticsChannel() {
  // Never destroyed: queues may still log while the process exits.
  static auto* channel = new APMLogChannel;
  return *channel;
}
}  // namespace

void APMSetAnalyticsLogSink(APMAnalyticsLogSink sink) { analyticsChannel().setSink(std::move(sink)); }

void APMAnalyticsLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts) {
  analyticsChannel().log(level, code, message, contexts);
}
