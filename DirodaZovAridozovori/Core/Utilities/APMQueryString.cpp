#include "APMQueryString.h"

#include <charconv>
#include <cstring>

#include "platform/Unicode.h"

namespace {

// The URL-query characters that may stand unescaped inside a key or a value.
bool isAllowedInQueryComponent(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("!$'()*,-./:;?@_~", c) != nullptr;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isAllowedInQueryComponent(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string doubleText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

// Items and dictionaries both iterate as (key, value) pairs.
template <typename Pairs>
std::string joinedPairs(const Pairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (!out.empty()) out.push_back('&');
    out += percentEncode(key) + "=" + percentEncode(APMQueryValueText(value));
  }
  return out;
}

}  // namespace

std::string APMQueryValueText(const platform::Object& value) {
  switch (value.kind()) {
    case platform::Object::Kind::String:
      return value.stringValue();
    case platform::Object::Kind::Bool:
      return value.boolValue() ? "1" : "0";
    case platform::Object::Kind::Integer:
      return std::to_string(value.integerValue());
    case platform::Object::Kind::Double:
      return doubleText(value.doubleValue());
    default:
      return value.description();
  }
}

std::string apm_queryString(const APMQueryItems& items) { return joinedPairs(items); }

std::string apm_queryString(const platform::Dictionary& dictionary) { return joinedPairs(dictionary); }

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view argument) {
  std::string out;
  out.reserve(argument.size());
  for (size_t i = 0; i < argument.size(); ++i) {
    char c = argument[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c != '%') {
      out.push_back(c);
    } else {
      if (i + 2 >= argument.size()) return std::nullopt;
      int high = hexValue(argument[i + 1]);
      int low = hexValue(argument[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>((high << 4) | low));
      i += 2;
    }
  }
  if (!platform::isValidUtf8(out)) return std::nullopt;
  return out;
}

platform::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view arguments) {
  platform::Dictionary result;
  size_t start = 0;
  while (start <= arguments.size()) {
    size_t end = arguments.find('&', start);
    if (end == std::string_view::npos) end = arguments.size();
    std::string_view part = arguments.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    size_t equals = part.find('=');
    std::string_view rawKey = part.substr(0, equals);
    std::string_view rawValue = equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1);
    std::string key = apm_stringByUnescapingFromURLArgument(rawKey).value_or("");
    std::string value = apm_stringByUnescapingFromURLArgument(rawValue).value_or("");
    // The first occurrence of a key wins.
    result.emplace(std::move(key), std::move(value));
  }
  return result;
}
