#pragma once
// Money as the SDK sends it: signed 64-bit micro-units (the amount times 1,000,000).
//
// The scaling works on decimal digits, never on binary doubles: a price of "2.01" is 2010000
// micros, where 2.01 * 1e6 in double arithmetic truncates to 2009999.

#include <cstdint>
#include <optional>
#include <string_view>

#include "Utilities/APMDecimalNumber.h"

enum class APMMicroUnitsRounding {
  TowardZero,        // prices and values of purchases
  HalfAwayFromZero,  // amounts in currency units of e-commerce events
};

// value * 10^shift as a signed 64-bit integer; none when the result leaves the 64-bit range.
std::optional<int64_t> APMScaledInteger(const APMDecimalNumber& value, int shift, APMMicroUnitsRounding rounding);

// value * 1,000,000; none when out of the 64-bit range.
std::optional<int64_t> APMMicroUnits(const APMDecimalNumber& value, APMMicroUnitsRounding rounding);
// The same from decimal text ("9.99"); none for text that is not a decimal number.
std::optional<int64_t> APMMicroUnitsFromText(std::string_view text, APMMicroUnitsRounding rounding);
// The same from a double, read as the shortest decimal that gives it back (9.99 is "9.99"); none
// for infinities and NaN.
std::optional<int64_t> APMMicroUnitsFromDouble(double value, APMMicroUnitsRounding rounding);

// a * b and a + b, none on overflow.
std::optional<int64_t> APMCheckedMultiply(int64_t a, int64_t b);
std::optional<int64_t> APMCheckedAdd(int64_t a, int64_t b);
