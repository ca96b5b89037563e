#pragma once
// The monitor's levels, named for what the monitor does with a line of each. The numbers are the
// ones a line carries into the monitoring sample key (its level letter) and into a log sink's
// records; stored samples and hosts' diagnostics rely on them, so they never change.
//
//   number  name                  printed as        sampled   DirodaUtilities level
//   0       kError                error                       3
//   1       kErrorSampled         error             yes       3
//   2       kErrorSampledOnly     (never)           yes       3
//   3       kWarning              warning                     4
//   4       kWarningSampled       warning           yes       4
//   5       kWarningSampledOnly   (never)           yes       4
//   6       kNotice               notice                      5
//   7       kDebug                debug, forced               7
//   8       kVerbose              only while verbose logging is on; 7
// Any number above 8 (a bridge may hand one on) is sampled, never printed, at DirodaUtilities 4.

#include <cstdint>

#include "Logger/DULLogger.h"

enum class APMLogLevel : int64_t {
  kError = 0,
  kErrorSampled = 1,
  kErrorSampledOnly = 2,
  kWarning = 3,
  kWarningSampled = 4,
  kWarningSampledOnly = 5,
  kNotice = 6,
  kDebug = 7,
  kVerbose = 8,
};

constexpr int64_t APMLogLevelNumber(APMLogLevel level) { return static_cast<int64_t>(level); }

// Never printed: the sample is where these lines go.
constexpr bool APMLogLevelIsSilent(APMLogLevel level) {
  return level == APMLogLevel::kErrorSampledOnly || level == APMLogLevel::kWarningSampledOnly ||
         level > APMLogLevel::kVerbose;
}

constexpr bool APMLogLevelIsMonitorable(APMLogLevel level) {
  return level == APMLogLevel::kErrorSampled || level == APMLogLevel::kErrorSampledOnly ||
         level == APMLogLevel::kWarningSampled || level == APMLogLevel::kWarningSampledOnly ||
         level > APMLogLevel::kVerbose;
}

// The DirodaUtilities level a line is printed at (numbers below 0 print as errors).
constexpr DULLoggerLevel APMLogLevelToDULLoggerLevel(APMLogLevel level) {
  if (level <= APMLogLevel::kErrorSampledOnly) return DULLoggerLevel::kError;
  if (level <= APMLogLevel::kWarningSampledOnly) return DULLoggerLevel::kWarning;
  if (level == APMLogLevel::kNotice) return DULLoggerLevel::kNotice;
  if (level <= APMLogLevel::kVerbose) return DULLoggerLevel::kDebug;
  return DULLoggerLevel::kWarning;
}
