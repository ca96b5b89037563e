#include "APMStoreLog.h"

#include "APMLogChannel.h"

void APMSetStoreLogSink(APMStoreLogSink sink) {
  if (!sink) {
    APMSetLogSink(nullptr);
    return;
  }
  APMSetLogSink([sink = std::move(sink)](int64_t level, int64_t code, const std::string& message,
                                         const APMMonitorContexts& contexts) {
    sink(static_cast<int>(level), code, message, contexts);
  });
}

void APMStoreLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts) {
  APMLog(static_cast<APMLogLevel>(level), code, message, contexts);
}

platform::Error APMStoreError(int64_t code, const std::string& description) {
  return APMError::apm_errorWithCode(code, description);
}

bool APMFail(platform::Error* error, int64_t code, const std::string& description) {
  platform::setError(error, APMStoreError(code, description));
  return false;
}
