#include "APMIdentityLog.h"

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

void APMIdentityLog(int level, int64_t code, const std::string& message) {
  APMLog(static_cast<APMLogLevel>(level), code, message);
}

APMIdentityLogSink APMSetIdentityLogSink(APMIdentityLogSink sink) {
  if (!sink) {
    APMSetLogSink(nullptr);
    return nullptr;
  }
  APMSetLogSink(
      [sink = std::move(sink)](int64_t level, int64_t code, const std::string& message, const APMMonitorContexts&) {
        sink(APMIdentityLogEntry{static_cast<int>(level), code, message});
      });
  return nullptr;
}
