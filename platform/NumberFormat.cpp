#include "platform/NumberFormat.h"

#include <unicode/numberformatter.h>
#include <unicode/unum.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

#include "platform/Unicode.h"

namespace platform {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The grammar is checked by hand because std::from_chars also takes "inf", "nan" and hex forms.
bool isPlainDecimal(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponentDigits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == text.size();
}

// The power of ten of the leading digit plus one (saturated), for telling overflow from underflow.
long long decimalMagnitude(std::string_view text) {
  size_t i = (text.front() == '-' || text.front() == '+') ? 1 : 0;
  long long magnitude = 0;
  bool seenNonZero = false;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    if (text[i] != '0') seenNonZero = true;
    if (seenNonZero) ++magnitude;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) {
      if (seenNonZero) continue;
      if (text[i] != '0') seenNonZero = true; else --magnitude;
    }
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    long long exponent = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      exponent = std::min(exponent * 10 + (text[i] - '0'), 1LL << 40);
    }
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude;
}

std::string nonFinite(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "Infinity" : "-Infinity";
}

UNumberFormatRoundingMode icuRounding(NumberRounding rounding) {
  return rounding == NumberRounding::HalfUp ? UNUM_ROUND_HALFUP : UNUM_ROUND_HALFEVEN;
}

}  // namespace

std::optional<double> parseDecimalNumber(std::string_view text) {
  if (!isPlainDecimal(text)) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Too small to represent reads as zero, as a decimal formatter would; too large has no honest value.
    if (decimalMagnitude(text) > 0) return std::nullopt;
    return text.front() == '-' ? -0.0 : 0.0;
  }
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseLocalizedNumber(std::string_view text, const std::string& locale) {
  // ICU's strict parser refuses an explicit plus sign, which senders of positive values write.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
  }
  std::u16string utf16 = utf8ToUtf16(text);
  if (utf16.empty() || utf16.size() > static_cast<size_t>(INT32_MAX)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* format = unum_open(UNUM_DECIMAL, nullptr, 0, locale.c_str(), nullptr, &status);
  if (U_FAILURE(status)) {
    if (format) unum_close(format);
    return std::nullopt;
  }
  unum_setAttribute(format, UNUM_LENIENT_PARSE, 0);
  int32_t position = 0;
  double value = unum_parseDouble(format, reinterpret_cast<const UChar*>(utf16.data()),
                                  static_cast<int32_t>(utf16.size()), &position, &status);
  unum_close(format);
  if (U_FAILURE(status) || position != static_cast<int32_t>(utf16.size())) return std::nullopt;
  return value;
}

std::string formatNumber(double value, const NumberFormatOptions& options) {
  if (!std::isfinite(value)) return nonFinite(value);
  using namespace icu::number;
  icu::Locale locale(options.locale.c_str());
  LocalizedNumberFormatter formatter = NumberFormatter::withLocale(locale)
      .roundingMode(icuRounding(options.rounding))
      .grouping(options.grouping ? UNUM_GROUPING_AUTO : UNUM_GROUPING_OFF);
  int minimumFraction = std::clamp(options.minimumFractionDigits, 0, 999);
  int maximumFraction = std::clamp(options.maximumFractionDigits, minimumFraction, 999);
  if (options.maximumSignificantDigits > 0) {
    formatter = formatter.precision(
        Precision::maxSignificantDigits(std::min(options.maximumSignificantDigits, 999)));
  } else {
    formatter = formatter.precision(Precision::minMaxFraction(minimumFraction, maximumFraction));
  }
  if (options.scientific) formatter = formatter.notation(Notation::scientific());
  UErrorCode status = U_ZERO_ERROR;
  FormattedNumber formatted = formatter.formatDouble(value, status);
  std::string out;
  if (U_SUCCESS(status)) {
    icu::UnicodeString text = formatted.toString(status);
    if (U_SUCCESS(status)) text.toUTF8String(out);
  }
  if (U_FAILURE(status) || out.empty()) return nonFinite(NAN);
  return out;
}

std::string formatFixed(double value, int fractionDigits) {
  NumberFormatOptions options;
  options.minimumFractionDigits = fractionDigits;
  options.maximumFractionDigits = fractionDigits;
  options.rounding = NumberRounding::HalfUp;
  return formatNumber(value, options);
}

}  // namespace platform
