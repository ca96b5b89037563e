#include "APMAudienceLog.h"

#include "APMLogChannel.h"

void APMAudienceLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts) {
  APMLog(static_cast<APMLogLevel>(level), code, message, contexts);
}

APMAudienceLogSink APMSetAudienceLogSink(APMAudienceLogSink sink) {
  if (!sink) {
    APMSetLogSink(nullptr);
    return nullptr;
  }
  APMSetLogSink([sink = std::move(sink)](int64_t level, int64_t code, const std::string& message,
                                         const APMMonitorContexts& contexts) {
    sink(APMAudienceLogEntry{static_cast<int>(level), code, message, contexts});
  });
  return nullptr;
}
