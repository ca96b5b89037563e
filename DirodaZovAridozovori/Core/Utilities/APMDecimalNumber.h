#pragma once
// An exact decimal number: up to 38 significant decimal digits times a power of ten between
// 10^-128 and 10^127. Comparisons are exact, so "0.1" equals "0.10" and a 38-digit integer never
// collapses into its neighbour the way a double would.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class APMDecimalNumber {
 public:
  static constexpr int kMaxSignificantDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  // Zero.
  APMDecimalNumber() = default;
  static APMDecimalNumber fromInt64(int64_t value);
  // The shortest decimal text that reads back as the same double; none for infinities and NaN.
  static std::optional<APMDecimalNumber> fromDouble(double value);

  // Parses an optional sign, digits, an optional "." and digits, and an optional exponent
  // ("e"/"E", optional sign, digits). None for anything else or a value out of range. Digits
  // beyond the 38th significant one are dropped; *exact (when given) says whether every dropped
  // digit was zero, i.e. whether the number holds the text's value exactly.
  static std::optional<APMDecimalNumber> fromString(std::string_view text, bool* exact = nullptr);

  bool isZero() const { return digits_.empty(); }
  bool isNegative() const { return negative_; }
  APMDecimalNumber negated() const;
  APMDecimalNumber absoluteValue() const;

  // The canonical text: plain positional notation, no exponent, no leading zeros before the
  // integer digit, no trailing zeros after the point ("0.5", "-12", "1000").
  std::string stringValue() const;
  double doubleValue() const;
  // Truncated towards zero, saturating at the 64-bit bounds.
  int64_t longLongValue() const;

  int compare(const APMDecimalNumber& other) const;
  bool operator==(const APMDecimalNumber& other) const { return compare(other) == 0; }
  std::strong_ordering operator<=>(const APMDecimalNumber& other) const {
    return compare(other) <=> 0;
  }

 private:
  // The value is (negative_ ? -1 : 1) * digits_ * 10^exponent_. digits_ has no leading or trailing
  // zeros; zero is the empty digit string, never negative.
  bool negative_ = false;
  std::string digits_;
  int exponent_ = 0;

  int compareMagnitude(const APMDecimalNumber& other) const;
};
