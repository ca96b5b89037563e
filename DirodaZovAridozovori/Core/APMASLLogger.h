#pragma once
// The monitor's sink: hands one finished line to the DirodaUtilities logger with the analytics
// service, the monitor's tag and the code written as "I-ACS" and six digits.

#include <cstdint>
#include <string>

class APMASLLogger {
 public:
  static constexpr const char* kService = "com.diroda.zoredode.analytics";

  virtual ~APMASLLogger() = default;
  // The message is handed on verbatim: it is never used as a format, so "%" prints as it is.
  virtual void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                          int64_t logLevel);

  // Monitor levels 0-8 to DirodaUtilities levels: 3, 3, 3, 4, 4, 4, 5, 7, 7; above 8: 4; below 0: 3.
  static int64_t DULLoggerLevelFromLogLevel(int64_t logLevel);
  // "I-ACS%06ld".
  static std::string messageCodeText(int64_t messageCode);
};
