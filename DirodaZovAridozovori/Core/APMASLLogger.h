#pragma once
// The monitor's sink: hands one finished line to the DirodaUtilities logger with the analytics
// service, the monitor's tag and the code written as "I-ACS" and six digits.

#include <cstdint>
#include <string>

#include "APMLogLevel.h"

class APMASLLogger {
 public:
  static constexpr const char* kService = "com.diroda.zoredode.analytics";

  virtual ~APMASLLogger() = default;
  // The message is handed on verbatim: it is never used as a format, so "%" prints as it is.
  virtual void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                          APMLogLevel logLevel);

  // See the table in APMLogLevel.h.
  static DULLoggerLevel DULLoggerLevelFromLogLevel(APMLogLevel logLevel) {
    return APMLogLevelToDULLoggerLevel(logLevel);
  }
  // "I-ACS%06ld".
  static std::string messageCodeText(int64_t messageCode);
};
