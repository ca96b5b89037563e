#include "APMMonitorText.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace {

// The decade of a number, computed on the unsigned magnitude so that no value (INT64_MIN and
// values of 10^18 and more included) overflows: 10^19 - 1 still fits in 64 unsigned bits.
std::string encodedNumber(int64_t value) {
  uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
  if (magnitude < 100) return std::to_string(value);
  uint64_t power = 1;
  while (magnitude / power >= 10) power *= 10;
  uint64_t upper = power * 10 - 1;
  // Appended piece by piece: "-" + std::string trips a false -Wrestrict in optimised GCC 12 builds.
  std::string text = value >= 0 ? std::to_string(power) : std::string("-");
  if (value >= 0) {
    text += "...";
    text += std::to_string(upper);
  } else {
    text += std::to_string(upper);
    text += "...-";
    text += std::to_string(power);
  }
  return text;
}

bool containsAPM(const std::string& text) {
  for (size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return true;
    }
  }
  return false;
}

std::vector<std::string> splitAtWhitespace(const std::string& line) {
  std::vector<std::string> parts;
  std::istringstream in(line);
  std::string part;
  while (in >> part) parts.push_back(part);
  return parts;
}

std::string describeError(const platform::Error& error) {
  std::string text = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
  if (!error.description.empty()) text += " \"" + error.description + "\"";
  return text;
}

std::string describeException(const APMExceptionInfo& exception) {
  return exception.reason.empty() ? exception.name : exception.reason;
}

std::string describeContext(const APMMonitorContext& context) {
  if (const APMExceptionInfo* exception = context.exception()) {
    std::optional<std::string> symbol = APMMonitorText::lastAPMSymbolFromException(exception);
    if (symbol && !symbol->empty()) return *symbol + ": " + describeException(*exception);
    return describeException(*exception);
  }
  if (const platform::Error* error = context.error()) return describeError(*error);
  const platform::Object* object = context.object();
  if (!object || object->isNull()) return "(nil)";
  return object->description();
}

}  // namespace

std::string APMMonitorText::logLevelDescriptionFromLogLevel(APMLogLevel level) {
  if (level < APMLogLevel::kError) return "";
  if (level <= APMLogLevel::kErrorSampledOnly) return "ERROR";
  if (level <= APMLogLevel::kWarningSampledOnly) return "WARNING";
  if (level == APMLogLevel::kNotice) return "NOTICE";
  if (level == APMLogLevel::kDebug) return "DEBUG";
  return "";
}

std::string APMMonitorText::encodedStringWithContextArray(const APMMonitorContexts& contexts, bool insertSpaces) {
  std::string text;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += insertSpaces ? ", " : ",";
    text += encodedStringWithContextObject(contexts[i]);
  }
  return text;
}

std::string APMMonitorText::stringWithLogMessage(std::string_view message, APMLogLevel,
                                                 const APMMonitorContexts& contexts, bool encodeContexts) {
  std::string text = message.data() == nullptr ? "(Message was nil)"
                     : message.empty()         ? "(Message was empty)"
                                               : std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += describeContext(contexts[i]);
  }
  return text;
}

std::string APMMonitorText::encodedStringWithContextObject(const APMMonitorContext& context) {
  if (const APMExceptionInfo* exception = context.exception()) {
    std::optional<std::string> symbol = lastAPMSymbolFromException(exception);
    return symbol && !symbol->empty() ? *symbol : "-";
  }
  if (const platform::Error* error = context.error()) return error->domain.empty() ? "-" : error->domain;
  const platform::Object* object = context.object();
  if (!object || object->isNull()) return "";
  if (object->isString()) return "-";
  if (object->isNumber()) return encodedNumber(object->integerValue());
  return "?";
}

std::optional<std::string> APMMonitorText::lastAPMSymbolFromException(const APMExceptionInfo* exception) {
  if (!exception) return std::nullopt;
  const auto& lines = exception->callStackSymbols;
  for (size_t i = 2; i < lines.size(); ++i) {
    std::vector<std::string> parts = splitAtWhitespace(lines[i]);
    if (parts.size() < 5) continue;
    std::string symbol = parts[4] == "+" ? parts[3] : parts[3] + " " + parts[4];
    if (containsAPM(symbol)) return symbol;
  }
  return exception->name;
}

std::string APMMonitorText::monitoringDataKeyWithMessage(std::string_view message, APMLogLevel level,
                                                         int64_t libraryVersion) {
  char letter = '?';
  if (level >= APMLogLevel::kError && level <= APMLogLevel::kErrorSampledOnly) letter = 'E';
  if (level >= APMLogLevel::kWarning && level <= APMLogLevel::kWarningSampledOnly) letter = 'W';
  return std::string("1") + letter + "_" + std::to_string(libraryVersion) + ":" + std::string(message);
}
