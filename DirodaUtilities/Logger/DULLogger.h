#pragma once
// The single logging path of the core platform and its utilities.
//
// A line reads "<version> - <tag>[<code>] <message>", for example
// "<version> - [ZoredodeCore][I-COR000023] Invalid logger level, 9", the version being the SDK's
// (kMeasurementVersion). Lines are written in order on
// the serial queue "DULLoggingClientQueue", to stderr (the system-log stand-in) or to the sink a
// test installed.
//
// Levels: 3 error, 4 warning, 5 notice, 6 info, 7 debug; the default is 5. A message is written
// when its level is at or below the logger's level, or when the caller forces output.
// Debug mode (outside App Store builds) raises the level to 7 and forces every line out. It is
// turned on by the launch argument "-ZORDebugEnabled" (which persists the choice under the
// standard defaults key "/diroda/zoredode/debug_mode"), off by "-ZORDebugDisabled" (which removes
// the key), and otherwise follows the persisted key. App Store builds ignore requests for levels
// 5 to 7 and never enter debug mode.
//
// Message codes are "I-" + three capital letters + six digits ("I-COR000023"); a line with any
// other code is refused, so every line in the log can be traced to its source.

#include <cstdint>
#include <functional>
#include <string>

#include "MeasurementVersion.h"

// The numbers are the levels the core platform's services take and a sink's records carry.
enum class DULLoggerLevel : int64_t {
  kError = 3,
  kWarning = 4,
  kNotice = 5,
  kInfo = 6,
  kDebug = 7,
};

constexpr int64_t DULLoggerLevelNumber(DULLoggerLevel level) { return static_cast<int64_t>(level); }

inline constexpr const char* kDULLoggerDefaultVersion = kMeasurementVersion;
inline constexpr const char* kDULLoggerCoreService = "com.diroda.zoredode.core";
inline constexpr const char* kDULLoggerCoreTag = "[ZoredodeCore]";

// Sets the logger's level. A host hands in an integer: any value outside 3 to 7 logs "Invalid
// logger level, %ld" (code "I-COR000023") and changes nothing; App Store builds ignore 5 to 7.
void DULLoggerSetLevel(int64_t level);
void DULLoggerSetLevel(DULLoggerLevel level);
// The current level (7 in debug mode).
DULLoggerLevel DULLoggerGetLevel();
// True in debug mode or when level is at or below the current level.
bool DULLoggerIsLoggableLevel(DULLoggerLevel level);
bool DULLoggerIsDebugMode();
// The version at the start of every line (default: the SDK's version).
void DULLoggerRegisterVersion(const std::string& version);

// True when a message code has the form "I-" + three capital letters + six digits.
bool DULLoggerIsValidMessageCode(const std::string& messageCode);
// The text of one line.
std::string DULLoggerFormatLine(const std::string& version, const std::string& tag, const std::string& messageCode,
                                const std::string& message);

// Filters by level (forceLog bypasses the filter), checks the code, formats the line and queues
// it. Returns true when the line was queued.
bool DULLoggerLogMessage(DULLoggerLevel level, const std::string& service, const std::string& tag, bool forceLog,
                         const std::string& messageCode, const std::string& message);
// The same with a printf-style format, which is only expanded when the line will be written.
bool DULLoggerLogMessageFormat(DULLoggerLevel level, const std::string& service, const std::string& tag, bool forceLog,
                               const std::string& messageCode, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// One line at a fixed level, not forced.
void DULLoggerLogError(const std::string& service, const std::string& tag, const std::string& messageCode,
                       const std::string& message);
void DULLoggerLogWarning(const std::string& service, const std::string& tag, const std::string& messageCode,
                         const std::string& message);
void DULLoggerLogNotice(const std::string& service, const std::string& tag, const std::string& messageCode,
                        const std::string& message);
void DULLoggerLogInfo(const std::string& service, const std::string& tag, const std::string& messageCode,
                      const std::string& message);
void DULLoggerLogDebug(const std::string& service, const std::string& tag, const std::string& messageCode,
                       const std::string& message);

// What a sink receives for every written line; the level as its number.
struct DULLogRecord {
  int64_t level = 0;
  std::string service;
  std::string messageCode;
  std::string line;
};
using DULLoggerSink = std::function<void(const DULLogRecord&)>;
// Replaces stderr with sink (nullptr restores stderr). The sink runs on "DULLoggingClientQueue".
void DULLoggerSetSink(DULLoggerSink sink);
// Waits until every line queued so far has been written.
void DULLoggerFlush();

// Tests: forgets the level, debug mode and version; the App Store check, launch arguments and
// defaults are read again on next use.
void DULLoggerResetForTesting();
