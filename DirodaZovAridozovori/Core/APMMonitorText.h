#pragma once
// What the monitor makes of one line: the console text, the sample key, and the encoding of
// contexts that keeps their shape and never their content, so that no user data leaves the device.
// Pure functions of their arguments: any thread may call them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "APMLogLevel.h"
#include "APMMonitorContext.h"

class APMMonitorText {
 public:
  static std::string logLevelDescriptionFromLogLevel(APMLogLevel level);
  static std::string encodedStringWithContextArray(const APMMonitorContexts& contexts, bool insertSpaces);
  static std::string stringWithLogMessage(std::string_view message, APMLogLevel level,
                                          const APMMonitorContexts& contexts, bool encodeContexts);
  // The shape of a context, never its content: "" for null, "-" for a string, small numbers as they
  // are, larger ones as their decade ("250" gives "100...999", "-4567" gives "-9999...-1000"), the
  // SDK symbol of an exception, the domain of an error, "?" for anything else.
  static std::string encodedStringWithContextObject(const APMMonitorContext& context);
  static std::optional<std::string> lastAPMSymbolFromException(const APMExceptionInfo* exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, APMLogLevel level, int64_t libraryVersion);
};
