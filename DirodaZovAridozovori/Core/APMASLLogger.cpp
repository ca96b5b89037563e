#include "APMASLLogger.h"

#include <cstdio>

#include "Logger/DULLogger.h"

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                              APMLogLevel logLevel) {
  // Debug lines are forced out: debug mode is what asked for them.
  DULLoggerLogMessage(DULLoggerLevelFromLogLevel(logLevel), kService, logTag, logLevel == APMLogLevel::kDebug,
                      messageCodeText(messageCode), message);
}

std::string APMASLLogger::messageCodeText(int64_t messageCode) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-ACS%06ld", static_cast<long>(messageCode));
  return buffer;
}
