#include "APMNetworkLogBridge.h"

#include "APMLogChannel.h"

APMLogLevel APMMonitorLevelForNetworkLevel(DULLoggerLevel networkLevel) {
  switch (networkLevel) {
    case DULLoggerLevel::kError:
      return APMLogLevel::kErrorSampled;
    case DULLoggerLevel::kWarning:
      return APMLogLevel::kWarningSampled;
    case DULLoggerLevel::kNotice:
      return APMLogLevel::kWarning;
    case DULLoggerLevel::kInfo:
      return APMLogLevel::kNotice;
    case DULLoggerLevel::kDebug:
      return APMLogLevel::kDebug;
  }
  return APMLogLevel::kWarning;
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode,
                                                  const std::string& message) {
  VIZUzedaru_logWithLevel(level, messageCode, message, platform::Array{});
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                                                  const platform::Object& context) {
  VIZUzedaru_logWithLevel(level, messageCode, message, platform::Array{context});
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                                                  const platform::Array& contexts) {
  APMMonitorContexts converted;
  converted.reserve(contexts.size());
  for (const auto& context : contexts) converted.emplace_back(context);
  // The client's codes (900000 and up) pass through as they are.
  APMLog(APMMonitorLevelForNetworkLevel(level), APMLogCode(messageCode), message, converted);
}
