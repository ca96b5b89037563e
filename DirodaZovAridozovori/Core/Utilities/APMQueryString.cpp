#include "APMQueryString.h"

#include <algorithm>
#include <charconv>

#include "platform/URL.h"
#include "platform/Unicode.h"

namespace {

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
    out += platform::percentEncodeQueryComponent(key) + "=" + platform::percentEncodeQueryComponent(APMQueryValueText(value));
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
  std::string spaced(argument);
  std::replace(spaced.begin(), spaced.end(), '+', ' ');
  auto out = platform::percentDecode(spaced);
  if (!out || !platform::isValidUtf8(*out)) return std::nullopt;
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
