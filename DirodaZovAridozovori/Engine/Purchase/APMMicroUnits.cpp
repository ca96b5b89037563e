#include "APMMicroUnits.h"

#include <limits>
#include <string>

namespace {

constexpr int kMicroUnitsShift = 6;

bool isWithinInt64(const APMDecimalNumber& value) {
  // Never destroyed: the SDK's threads may read them until the process has ended.
  static const auto& kMin = *new APMDecimalNumber(APMDecimalNumber::fromInt64(std::numeric_limits<int64_t>::min()));
  static const auto& kMax = *new APMDecimalNumber(APMDecimalNumber::fromInt64(std::numeric_limits<int64_t>::max()));
  return value >= kMin && value <= kMax;
}

}  // namespace

std::optional<int64_t> APMScaledInteger(const APMDecimalNumber& value, int shift, APMMicroUnitsRounding rounding) {
  // The canonical text has no exponent of its own, so one can be appended.
  auto scaled = APMDecimalNumber::fromString(value.stringValue() + "e" + std::to_string(shift));
  if (!scaled) return std::nullopt;
  const std::string text = scaled->stringValue();
  const size_t point = text.find('.');
  auto whole = point == std::string::npos ? scaled : APMDecimalNumber::fromString(text.substr(0, point));
  if (!whole || !isWithinInt64(*whole)) return std::nullopt;
  const int64_t truncated = whole->longLongValue();
  // The canonical text ends in a non-zero digit, so a point is followed by at least one digit.
  const bool atLeastHalf = point != std::string::npos && text[point + 1] >= '5';
  if (rounding == APMMicroUnitsRounding::HalfAwayFromZero && atLeastHalf) {
    return APMCheckedAdd(truncated, scaled->isNegative() ? -1 : 1);
  }
  return truncated;
}

std::optional<int64_t> APMMicroUnits(const APMDecimalNumber& value, APMMicroUnitsRounding rounding) {
  return APMScaledInteger(value, kMicroUnitsShift, rounding);
}

std::optional<int64_t> APMMicroUnitsFromText(std::string_view text, APMMicroUnitsRounding rounding) {
  auto value = APMDecimalNumber::fromString(text);
  if (!value) return std::nullopt;
  return APMMicroUnits(*value, rounding);
}

std::optional<int64_t> APMMicroUnitsFromDouble(double value, APMMicroUnitsRounding rounding) {
  auto decimal = APMDecimalNumber::fromDouble(value);
  if (!decimal) return std::nullopt;
  return APMMicroUnits(*decimal, rounding);
}

std::optional<int64_t> APMCheckedMultiply(int64_t a, int64_t b) {
  int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

std::optional<int64_t> APMCheckedAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}
