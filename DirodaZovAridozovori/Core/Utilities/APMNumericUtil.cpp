#include "APMNumericUtil.h"

#include <cmath>
#include <cstring>
#include <string>

#include "APMCoreLog.h"
#include "platform/Crypto.h"
#include "platform/Object.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int64_t APMMillisecondsFromSeconds(double seconds) { return platform::saturatingInt64(std::trunc(seconds * 1000.0)); }

int64_t APMNumericUtil::randomInt64() {
  uint8_t bytes[sizeof(int64_t)];
  std::string error;
  if (!platform::secureRandomBytes(bytes, sizeof(bytes), &error)) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMCoreLogCode::kRandomIntegerFailed, "Unable to generate random integer",
           {error});
    return 0;
  }
  int64_t value = 0;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

// Accepts exactly ^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$ over the whole text.
bool APMIsDecimalString(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t integerDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++integerDigits;
  size_t fractionDigits = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++fractionDigits;
  }
  return i == text.size() && (integerDigits > 0 || fractionDigits > 0);
}

std::optional<APMDecimalNumber> APMDecimalNumberFromString(std::string_view text) {
  std::string value(text);
  if (!APMIsDecimalString(text)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kNotDecimalString,
           "String value does not represent a numeric value. Value", {value});
    return std::nullopt;
  }
  // Compared digit by digit, not by searching the canonical text inside the input: the search
  // also "finds" a rounded number inside an unrelated run of zeros in the fraction.
  bool exact = true;
  std::optional<APMDecimalNumber> number = APMDecimalNumber::fromString(text, &exact);
  if (!number) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kUnreadableDecimal,
           "Unable to create a NSDecimalNumber from string value. Value", {value});
    return std::nullopt;
  }
  if (!exact) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kDecimalPrecisionLoss,
           "Unable to create a NSDecimalNumber from string value: loss of precision. Value", {value});
    return std::nullopt;
  }
  return number;
}
