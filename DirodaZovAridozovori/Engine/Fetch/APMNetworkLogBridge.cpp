#include "APMNetworkLogBridge.h"

#include "APMMonitor.h"

int64_t APMMonitorLevelForNetworkLevel(int networkLevel) {
  switch (networkLevel) {
    case VIZUzedaruLogLevelError:
      return 1;
    case VIZUzedaruLogLevelWarning:
      return 4;
    case VIZUzedaruLogLevelNotice:
      return 3;
    case VIZUzedaruLogLevelInfo:
      return 6;
    case VIZUzedaruLogLevelDebug:
      return 7;
    default:
      return 3;
  }
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message) {
  VIZUzedaru_logWithLevel(level, messageCode, message, platform::Array{});
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message,
                                                  const platform::Object& context) {
  VIZUzedaru_logWithLevel(level, messageCode, message, platform::Array{context});
}

void APMNetworkLogBridge::VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message,
                                                  const platform::Array& contexts) {
  APMMonitorContexts converted;
  converted.reserve(contexts.size());
  for (const auto& context : contexts) converted.emplace_back(context);
  APMMonitor::shared()->logWithLevel(APMMonitorLevelForNetworkLevel(level), messageCode, message, converted);
}
