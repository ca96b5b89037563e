#pragma once
// Random identifiers and the checked conversion of decimal text into exact numbers.

#include <cstdint>
#include <optional>
#include <string_view>

#include "APMDecimalNumber.h"

class APMNumericUtil {
 public:
  // A signed 64-bit integer from the system's secure generator; 0 (and a warning) when the
  // generator fails.
  static int64_t randomInt64();
};

// Seconds (as the clock gives them) to whole milliseconds, truncated. Times that no 64-bit count of
// milliseconds can hold (a program or a host may hand over any double) saturate; NaN gives 0.
int64_t APMMillisecondsFromSeconds(double seconds);

// True when the whole text is an optional sign followed by digits with an optional trailing point,
// or by optional digits, a point and digits. No exponent, no spaces, no trailing line break.
bool APMIsDecimalString(std::string_view text);

// The exact number the decimal text denotes, or none (with an error logged) when the text is not
// decimal, cannot be read, or holds more significant digits than a decimal number keeps.
std::optional<APMDecimalNumber> APMDecimalNumberFromString(std::string_view text);
