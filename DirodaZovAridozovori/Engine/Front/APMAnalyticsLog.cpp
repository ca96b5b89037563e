#include "APMAnalyticsLog.h"

#include "APMLogChannel.h"

void APMSetAnalyticsLogSink(APMAnalyticsLogSink sink) { APMSetLogSink(std::move(sink)); }

void APMAnalyticsLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts) {
  APMLog(static_cast<APMLogLevel>(level), code, message, contexts);
}
