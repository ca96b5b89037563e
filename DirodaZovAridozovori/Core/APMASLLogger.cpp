#include "APMASLLogger.h"

#include <cstdio>

#include "Logger/DULLogger.h"

namespace {
constexpr int64_t kVerboseLevel = 7;
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                              int64_t logLevel) {
  DULLoggerLogMessage(DULLoggerLevelFromLogLevel(logLevel), kService, logTag, logLevel == kVerboseLevel,
                      messageCodeText(messageCode), message);
}

int64_t APMASLLogger::DULLoggerLevelFromLogLevel(int64_t logLevel) {
  static constexpr int64_t kMap[] = {3, 3, 3, 4, 4, 4, 5, 7, 7};
  if (logLevel < 0) return DULLoggerLevelError;
  if (logLevel > 8) return DULLoggerLevelWarning;
  return kMap[logLevel];
}

std::string APMASLLogger::messageCodeText(int64_t messageCode) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-ACS%06ld", static_cast<long>(messageCode));
  return buffer;
}
