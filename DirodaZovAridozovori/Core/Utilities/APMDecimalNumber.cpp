#include "APMDecimalNumber.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Exponents in the text are bounded long before they could overflow an int: anything this large is
// out of range whatever the digits are.
constexpr long kExponentTextLimit = 100000;

}  // namespace

APMDecimalNumber APMDecimalNumber::fromInt64(int64_t value) {
  // Every int64 has at most 19 digits, so the text form is always exact.
  return *fromString(std::to_string(value));
}

std::optional<APMDecimalNumber> APMDecimalNumber::fromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (result.ec != std::errc()) return std::nullopt;
  return fromString(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
}

std::optional<APMDecimalNumber> APMDecimalNumber::fromString(std::string_view text, bool* exact) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  // Collect all mantissa digits and where the point sits.
  std::string mantissa;
  long pointPosition = -1;
  bool sawDigit = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (isDigit(c)) {
      mantissa.push_back(c);
      sawDigit = true;
    } else if (c == '.' && pointPosition < 0) {
      pointPosition = static_cast<long>(mantissa.size());
    } else {
      break;
    }
  }
  if (!sawDigit) return std::nullopt;
  if (pointPosition < 0) pointPosition = static_cast<long>(mantissa.size());

  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponentNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exponentNegative = text[i++] == '-';
    if (i >= text.size() || !isDigit(text[i])) return std::nullopt;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      if (exponent < kExponentTextLimit) exponent = exponent * 10 + (text[i] - '0');
    }
    if (exponentNegative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  // value = mantissa * 10^(exponent - fraction digits)
  exponent -= static_cast<long>(mantissa.size()) - pointPosition;
  size_t first = mantissa.find_first_not_of('0');
  APMDecimalNumber number;
  if (exact) *exact = true;
  if (first == std::string::npos) return number;
  mantissa.erase(0, first);

  if (mantissa.size() > static_cast<size_t>(kMaxSignificantDigits)) {
    size_t dropped = mantissa.size() - kMaxSignificantDigits;
    if (exact && mantissa.find_first_not_of('0', kMaxSignificantDigits) != std::string::npos) *exact = false;
    mantissa.resize(kMaxSignificantDigits);
    exponent += static_cast<long>(dropped);
  }
  size_t last = mantissa.find_last_not_of('0');
  exponent += static_cast<long>(mantissa.size() - 1 - last);
  mantissa.resize(last + 1);

  if (exponent < kMinExponent || exponent > kMaxExponent) return std::nullopt;
  number.negative_ = negative;
  number.digits_ = std::move(mantissa);
  number.exponent_ = static_cast<int>(exponent);
  return number;
}

APMDecimalNumber APMDecimalNumber::negated() const {
  APMDecimalNumber copy = *this;
  if (!isZero()) copy.negative_ = !negative_;
  return copy;
}

APMDecimalNumber APMDecimalNumber::absoluteValue() const {
  APMDecimalNumber copy = *this;
  copy.negative_ = false;
  return copy;
}

std::string APMDecimalNumber::stringValue() const {
  if (isZero()) return "0";
  std::string out = negative_ ? "-" : "";
  long integerDigits = static_cast<long>(digits_.size()) + exponent_;
  if (exponent_ >= 0) {
    out += digits_;
    out.append(static_cast<size_t>(exponent_), '0');
  } else if (integerDigits > 0) {
    out += digits_.substr(0, static_cast<size_t>(integerDigits));
    out += '.';
    out += digits_.substr(static_cast<size_t>(integerDigits));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-integerDigits), '0');
    out += digits_;
  }
  return out;
}

double APMDecimalNumber::doubleValue() const {
  std::string text = (negative_ ? "-" : "") + (isZero() ? std::string("0") : digits_) + "e" +
                     std::to_string(exponent_);
  return std::strtod(text.c_str(), nullptr);
}

int64_t APMDecimalNumber::longLongValue() const {
  long integerDigits = static_cast<long>(digits_.size()) + exponent_;
  if (isZero() || integerDigits <= 0) return 0;
  if (integerDigits > 19) {
    return negative_ ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  std::string integer = digits_.substr(0, std::min(digits_.size(), static_cast<size_t>(integerDigits)));
  integer.append(static_cast<size_t>(integerDigits) - integer.size(), '0');
  // Up to 19 digits fit an unsigned 64-bit value.
  uint64_t magnitude = std::strtoull(integer.c_str(), nullptr, 10);
  if (negative_) {
    constexpr uint64_t kMinMagnitude = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    if (magnitude >= kMinMagnitude) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(magnitude);
  }
  if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(magnitude);
}

int APMDecimalNumber::compareMagnitude(const APMDecimalNumber& other) const {
  if (isZero() || other.isZero()) return (isZero() ? 0 : 1) - (other.isZero() ? 0 : 1);
  // With no leading zeros, the position of the leading digit decides first.
  long lead = static_cast<long>(digits_.size()) + exponent_;
  long otherLead = static_cast<long>(other.digits_.size()) + other.exponent_;
  if (lead != otherLead) return lead < otherLead ? -1 : 1;
  size_t length = std::max(digits_.size(), other.digits_.size());
  for (size_t i = 0; i < length; ++i) {
    char a = i < digits_.size() ? digits_[i] : '0';
    char b = i < other.digits_.size() ? other.digits_[i] : '0';
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

int APMDecimalNumber::compare(const APMDecimalNumber& other) const {
  int sign = isZero() ? 0 : (negative_ ? -1 : 1);
  int otherSign = other.isZero() ? 0 : (other.negative_ ? -1 : 1);
  if (sign != otherSign) return sign < otherSign ? -1 : 1;
  int magnitude = compareMagnitude(other);
  return sign < 0 ? -magnitude : magnitude;
}
