#include "APMPurchaseLog.h"

void APMSetPurchaseLogSink(APMPurchaseLogSink sink) { APMSetLogSink(std::move(sink)); }

void APMPurchaseLogContexts(int64_t level, int64_t code, std::string_view message, const APMMonitorContexts& contexts) {
  APMLog(static_cast<APMLogLevel>(level), code, message, contexts);
}
