#include "APMPRuntimeValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "APMPArrayValue.h"
#include "APMPFunctionValue.h"
#include "APMPRuntime.h"
#include "platform/Unicode.h"

void APMPSetError(platform::Error* error, int code) {
  if (error) *error = platform::Error(kAPMPErrorDomain, code);
}

// ---------------------------------------------------------------------------------------------
// Destruction

void APMPObject::destroy(APMPObject* object) noexcept {
  // Objects released while another is being deleted wait here, so that a chain of a million nested
  // arrays is freed by this loop instead of a million nested destructor calls.
  thread_local bool draining = false;
  thread_local std::vector<APMPObject*> pending;
  if (draining) {
    pending.push_back(object);
    return;
  }
  draining = true;
  delete object;
  while (!pending.empty()) {
    APMPObject* next = pending.back();
    pending.pop_back();
    delete next;
  }
  draining = false;
}

APMPRuntimeValue APMPRuntimeValue::string(std::string text) {
  return object(APMPValueKind::String, new APMPStringValue(std::move(text)));
}

// ---------------------------------------------------------------------------------------------
// Allocation bounds

bool APMPChargeAllocation(size_t bytes, platform::Error* error) {
  APMPRuntime* runtime = APMPRuntime::current();
  return !runtime || runtime->chargeAllocation(bytes, error);
}

bool APMPChargeWork(size_t units, platform::Error* error) {
  APMPRuntime* runtime = APMPRuntime::current();
  return !runtime || runtime->chargeWork(units, error);
}

APMPRuntimeValue APMPMakeString(std::string text, platform::Error* error) {
  if (text.size() > kAPMPMaxStringLength) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
  if (text.size() > 32 && !APMPChargeAllocation(text.size(), error)) return {};
  return APMPRuntimeValue::string(std::move(text));
}

// ---------------------------------------------------------------------------------------------
// Numbers and text

namespace {

bool isBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of a Unicode white-space or line-break sequence at the start (UTF-8), 0 when none.
size_t unicodeSpaceAt(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return isBlank(c) ? 1 : 0;
  if (c == 0xC2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) == 0x85 ||
                                        static_cast<unsigned char>(s[i + 1]) == 0xA0))
    return 2;
  if (i + 2 < s.size()) {
    unsigned char c1 = static_cast<unsigned char>(s[i + 1]), c2 = static_cast<unsigned char>(s[i + 2]);
    if (c == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) return 3;
    if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;
    if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;
    if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;
  }
  return 0;
}

std::string_view trimUnicodeSpace(std::string_view s) {
  size_t start = 0;
  while (start < s.size()) {
    size_t n = unicodeSpaceAt(s, start);
    if (!n) break;
    start += n;
  }
  size_t end = s.size();
  while (end > start) {
    // Step back over one character and test whether it is white space.
    size_t begin = end - 1;
    while (begin > start && (static_cast<unsigned char>(s[begin]) & 0xC0) == 0x80) --begin;
    if (unicodeSpaceAt(s, begin) != end - begin) break;
    end = begin;
  }
  return s.substr(start, end - start);
}

}  // namespace

std::string APMPNumberToString(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0) return "0";
  // Shortest round-trip digits (never more than 17 significant ones) and the decimal exponent.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view sci(buffer, static_cast<size_t>(result.ptr - buffer));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  size_t ePos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, ePos))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  std::string_view expText = sci.substr(ePos + 1);
  if (!expText.empty() && expText.front() == '+') expText.remove_prefix(1);
  std::from_chars(expText.data(), expText.data() + expText.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  double magnitude = std::fabs(value);
  if (magnitude >= 1e-6 && magnitude < 1e21) {
    int pointAt = exponent + 1;  // digits before the decimal point
    if (pointAt <= 0) {
      out += "0.";
      out.append(static_cast<size_t>(-pointAt), '0');
      out += digits;
    } else if (static_cast<size_t>(pointAt) >= digits.size()) {
      out += digits;
      out.append(static_cast<size_t>(pointAt) - digits.size(), '0');
    } else {
      out += digits.substr(0, static_cast<size_t>(pointAt));
      out += '.';
      out += digits.substr(static_cast<size_t>(pointAt));
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  out += std::to_string(exponent < 0 ? -exponent : exponent);
  return out;
}

double APMPStringToNumber(std::string_view text) {
  std::string_view s = trimUnicodeSpace(text);
  if (s.empty()) return 0;
  if (s == "NaN") return NAN;
  if (s == "Infinity") return INFINITY;
  if (s == "-Infinity") return -INFINITY;
  // Optional sign, digits, optional fraction, optional exponent; the whole text must match.
  size_t i = 0;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
  size_t mantissaStart = i;
  size_t intDigits = 0, fracDigits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++intDigits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return NAN;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t expDigits = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j, ++expDigits;
    if (expDigits == 0) return NAN;
    i = j;
  }
  if (i != s.size()) return NAN;
  std::string_view body = s.substr(mantissaStart);
  double value = 0;
  auto parsed = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (parsed.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: decide by the sign of the decimal exponent.
    size_t ePos = body.find_first_of("eE");
    long long exp = 0;
    if (ePos != std::string_view::npos) {
      std::string_view e = body.substr(ePos + 1);
      bool expNegative = !e.empty() && e.front() == '-';
      if (!e.empty() && (e.front() == '+' || e.front() == '-')) e.remove_prefix(1);
      // Saturate: anything past a few hundred digits decides the same way.
      for (char c : e) exp = std::min<long long>(exp * 10 + (c - '0'), 1000000);
      if (expNegative) exp = -exp;
    }
    exp += static_cast<long long>(intDigits);
    value = exp > 0 ? INFINITY : 0.0;
  } else if (parsed.ec != std::errc()) {
    return NAN;
  }
  return negative ? -value : value;
}

int32_t APMPToInt32(double value) {
  if (!std::isfinite(value)) return 0;
  double r = std::fmod(std::trunc(value), 4294967296.0);
  if (r < -2147483648.0) r += 4294967296.0;
  else if (r >= 2147483648.0) r -= 4294967296.0;
  return static_cast<int32_t>(r);
}

uint32_t APMPToUint32(double value) { return static_cast<uint32_t>(APMPToInt32(value)); }

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (std::isinf(value) || value == 0) return value;
  return std::trunc(value);
}

int64_t APMPClampToInt64(double value, int64_t low, int64_t high) {
  if (std::isnan(value)) return low < 0 && high > 0 ? 0 : low;
  if (value <= static_cast<double>(low)) return low;
  if (value >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(value);
}

// ---------------------------------------------------------------------------------------------
// UTF-16 view (the platform's generalized UTF-8 keeps lone surrogates; ASCII takes a short cut)

namespace {

bool isASCIIText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void encodeUnit(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

size_t APMPUTF16Length(std::string_view text) {
  if (isASCIIText(text)) return text.size();
  return platform::generalizedUtf8ToUtf16(text).size();
}

std::string APMPUTF16UnitAt(std::string_view text, size_t index) {
  if (isASCIIText(text)) return index < text.size() ? std::string(1, text[index]) : std::string();
  std::u16string units = platform::generalizedUtf8ToUtf16(text);
  if (index >= units.size()) return {};
  return platform::utf16ToGeneralizedUtf8(std::u16string_view(&units[index], 1));
}

std::vector<std::string> APMPUTF16Units(std::string_view text) {
  std::vector<std::string> out;
  if (isASCIIText(text)) {
    for (char c : text) out.emplace_back(1, c);
    return out;
  }
  std::u16string units = platform::generalizedUtf8ToUtf16(text);
  for (char16_t& unit : units) out.push_back(platform::utf16ToGeneralizedUtf8(std::u16string_view(&unit, 1)));
  return out;
}

void APMPAppendText(std::string& text, std::string_view more) {
  auto surrogateAt = [](std::string_view s, size_t at, unsigned char low, unsigned char high) -> int {
    if (at + 3 > s.size() || static_cast<unsigned char>(s[at]) != 0xED) return -1;
    unsigned char c1 = static_cast<unsigned char>(s[at + 1]);
    if (c1 < low || c1 > high) return -1;
    return static_cast<int>(((c1 & 0x3Fu) << 6) | (static_cast<unsigned char>(s[at + 2]) & 0x3Fu));
  };
  if (text.size() >= 3 && more.size() >= 3) {
    int lead = surrogateAt(text, text.size() - 3, 0xA0, 0xAF);
    int trail = surrogateAt(more, 0, 0xB0, 0xBF);
    if (lead >= 0 && trail >= 0) {
      uint32_t cp = 0x10000 + ((static_cast<uint32_t>(lead) & 0x3FF) << 10) + (static_cast<uint32_t>(trail) & 0x3FF);
      text.resize(text.size() - 3);
      encodeUnit(cp, text);
      text.append(more.substr(3));
      return;
    }
  }
  text.append(more);
}

int APMPCompareText(std::string_view a, std::string_view b) {
  // Byte order equals UTF-16 order for ASCII; elsewhere compare the code units themselves.
  int c;
  if (isASCIIText(a) && isASCIIText(b)) c = a.compare(b);
  else c = platform::compareUtf16(platform::generalizedUtf8ToUtf16(a), platform::generalizedUtf8ToUtf16(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

size_t APMPStringValue::utf16Length() const {
  if (!measured_) {
    ascii_ = isASCIIText(value_);
    utf16Length_ = ascii_ ? value_.size() : platform::generalizedUtf8ToUtf16(value_).size();
    measured_ = true;
  }
  return utf16Length_;
}

// ---------------------------------------------------------------------------------------------
// Conversions

namespace {
// Bytes of text copied or scanned per unit of work.
constexpr size_t kCopyWorkUnit = 8;
}  // namespace

std::string APMPRuntimeValue::stringValueOrError(platform::Error* error) const {
  switch (kind_) {
    case APMPValueKind::Undefined: return "undefined";
    case APMPValueKind::Null: return "null";
    case APMPValueKind::Boolean: return booleanValue() ? "true" : "false";
    case APMPValueKind::Number: return APMPNumberToString(numberValue());
    case APMPValueKind::String: {
      const std::string& text = static_cast<APMPStringValue*>(obj())->value();
      if (text.size() >= kCopyWorkUnit && !APMPChargeWork(text.size() / kCopyWorkUnit, error)) return "";
      return text;
    }
    case APMPValueKind::Array: return asArray()->stringValueWithSeparator(",", error);
    case APMPValueKind::Map: return "[object Object]";
    case APMPValueKind::Function: return asFunction()->functionName();
    default:
      APMPSetError(error, kAPMPErrorNoStringForm);
      return "";
  }
}

double APMPRuntimeValue::doubleValueOrError(platform::Error* error) const {
  switch (kind_) {
    case APMPValueKind::Undefined: return NAN;
    case APMPValueKind::Null: return 0;
    case APMPValueKind::Boolean: return booleanValue() ? 1 : 0;
    case APMPValueKind::Number: return numberValue();
    case APMPValueKind::String: {
      const std::string& text = static_cast<APMPStringValue*>(obj())->value();
      if (text.size() >= kCopyWorkUnit && !APMPChargeWork(text.size() / kCopyWorkUnit, error)) return NAN;
      return APMPStringToNumber(text);
    }
    case APMPValueKind::Array: {
      platform::Error local;
      std::string text = asArray()->stringValueWithSeparator(",", &local);
      if (APMPFailed(&local)) {
        if (error) *error = std::move(local);
        return NAN;
      }
      return APMPStringToNumber(text);
    }
    case APMPValueKind::Map:
    case APMPValueKind::Function: return NAN;
    default:
      APMPSetError(error, kAPMPErrorNoNumberForm);
      return NAN;
  }
}

bool APMPRuntimeValue::booleanValueOrError(platform::Error* error) const {
  switch (kind_) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null: return false;
    case APMPValueKind::Boolean: return booleanValue();
    case APMPValueKind::Number: return !(numberValue() == 0 || std::isnan(numberValue()));
    case APMPValueKind::String: return !static_cast<APMPStringValue*>(obj())->value().empty();
    case APMPValueKind::Array:
    case APMPValueKind::Map:
    case APMPValueKind::Function: return true;
    default:
      APMPSetError(error, kAPMPErrorNoBooleanForm);
      return false;
  }
}

bool APMPIsStringLike(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPValueKind::String:
    case APMPValueKind::Array:
    case APMPValueKind::Map:
    case APMPValueKind::Function: return true;
    default: return false;
  }
}

bool APMPIsArrayIndex(const APMPRuntimeValue& value) {
  if (!value.isNumber() && !value.isString()) return false;
  platform::Error error;
  double number = value.doubleValueOrError(&error);
  if (APMPFailed(&error)) return false;
  return std::isfinite(number) && number >= 0 && std::trunc(number) == number;
}
