#pragma once
// Locale-independent number texts. Settings, filters and programs exchange numbers as text written
// with a point as the decimal separator, whatever language the user runs; these helpers never consult
// the process locale.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A plain decimal number: optional sign, digits with an optional fraction, optional exponent
// ("1.5", "-.5", "+2", "1e3", "3."). The whole text must be the number; no spaces, no grouping, no
// "inf" or "nan". Out-of-range magnitudes give nothing rather than infinity.
std::optional<double> parseDecimalNumber(std::string_view text);

// A number as the decimal formatter of an ICU locale ("en_US" by default) reads it, so grouping
// separators ("1,234.5") and a leading plus sign are accepted. The whole text must be consumed.
std::optional<double> parseLocalizedNumber(std::string_view text, const std::string& locale = "en_US");

enum class NumberRounding { HalfEven, HalfUp };

struct NumberFormatOptions {
  // Both bounds apply when maximumSignificantDigits is 0; otherwise significant digits decide.
  int minimumFractionDigits = 0;
  int maximumFractionDigits = 6;
  int maximumSignificantDigits = 0;
  bool scientific = false;  // "1.5E21"
  bool grouping = false;    // "1,234"
  NumberRounding rounding = NumberRounding::HalfEven;
  std::string locale = "en_US";
};

// NaN, infinities and formatter failures give "NaN", "Infinity" and "-Infinity"; never empty.
std::string formatNumber(double value, const NumberFormatOptions& options = {});

// Exactly `fractionDigits` digits after the point, rounding half up ("2.50" for 2.5 and 2).
std::string formatFixed(double value, int fractionDigits);

}  // namespace platform
