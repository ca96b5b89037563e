#include "APMPurchaseLog.h"

namespace {
APMLogChannel& purchaseChannel() {
  // Never destroyed: queues may still log while the process exits.
  static auto* channel = new APMLogChannel;
  return *channel;
}
}  // namespace

void APMSetPurchaseLogSink(APMPurchaseLogSink sink) { purchaseChannel().setSink(std::move(sink)); }

void APMPurchaseLogContexts(int64_t level, int64_t code, std::string_view message, const APMMonitorContexts& contexts) {
  purchaseChannel().log(level, code, message, contexts);
}
