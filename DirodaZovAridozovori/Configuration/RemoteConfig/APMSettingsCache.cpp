#include "APMSettingsCache.h"

#include <charconv>
#include <iterator>

#include "APMRemoteConfigLog.h"

namespace {

// NSNumber-style comparison: exact for two integers, numeric otherwise.
int compareNumbers(const platform::Object& a, const platform::Object& b) {
  if (a.isInteger() && b.isInteger()) {
    return a.integerValue() < b.integerValue() ? -1 : (a.integerValue() > b.integerValue() ? 1 : 0);
  }
  double x = a.doubleValue(), y = b.doubleValue();
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Decimal text of a cached value, as programs see it: plain digits with a point where there is a
// fraction, never an exponent (the shortest form writes 4000000 as "4e+06"), like the settings' own
// texts. A double too long for that (none a reading keeps) is written in its shortest form.
std::optional<std::string> textOf(const platform::Object& value) {
  if (value.isString()) return value.stringValue();
  if (value.isInteger() || value.isBool()) return std::to_string(value.integerValue());
  if (value.isDouble()) {
    char buffer[64];
    auto written = std::to_chars(buffer, buffer + sizeof(buffer), value.doubleValue(), std::chars_format::fixed);
    if (written.ec != std::errc()) written = std::to_chars(buffer, buffer + sizeof(buffer), value.doubleValue());
    if (written.ec != std::errc()) return std::nullopt;
    return std::string(buffer, written.ptr);
  }
  return std::nullopt;
}

// Keeps a number only when it converts to a 64-bit integer (a huge one is unparseable).
std::optional<platform::Object> keepWhenIntegral(const platform::Object& number) {
  if (!APMSettingNumberToInt64(number)) return std::nullopt;
  return number;
}

std::optional<platform::Object> bound(const std::optional<double>& value, bool integral) {
  if (!value) return std::nullopt;
  return integral ? platform::Object(static_cast<int64_t>(*value)) : platform::Object(*value);
}

}  // namespace

std::optional<platform::Object> APMSettingsCache::numberFromCache(
    std::string_view key, const platform::Object& defaultValue, const std::optional<platform::Object>& maxValue,
    const std::optional<platform::Object>& minValue,
    const std::function<std::optional<platform::Object>(const platform::Object&)>& block) {
  if (key.empty()) {
    APMLog(APMLogLevel::kDebug, APMRemoteConfigLogCode::kEmptySettingKey,
           "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cachedValueByRemoteConfigKeys_.find(key);
  if (it == cachedValueByRemoteConfigKeys_.end()) {
    cachedValueByRemoteConfigKeys_.emplace(std::string(key), defaultValue);
    return defaultValue;
  }
  if (it->second.isNumber()) return it->second;

  std::optional<platform::Object> number;
  if (!it->second.isString()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kNumberFromNonString,
           "Cannot parse number from non-string", it->second.description());
  } else {
    number = APMParseSettingNumber(it->second.stringValue());
  }
  if (number && block) number = block(*number);
  if (!number || (minValue && compareNumbers(*number, *minValue) < 0) ||
      (maxValue && compareNumbers(*number, *maxValue) > 0)) {
    number = defaultValue;
  }
  it->second = *number;
  return number;
}

double APMSettingsCache::timeIntervalInSeconds(const APMSettingDefinition& setting) {
  auto millisToSeconds = [](const platform::Object& number) -> std::optional<platform::Object> {
    auto millis = APMSettingNumberToInt64(number);
    if (!millis) return std::nullopt;
    return platform::Object(static_cast<double>(*millis) / 1000.0);
  };
  auto result = numberFromCache(setting.key, platform::Object(setting.defaultValue), bound(setting.maxValue, false),
                                bound(setting.minValue, false), millisToSeconds);
  return result ? result->doubleValue() : setting.defaultValue;
}

int32_t APMSettingsCache::intValue(const APMSettingDefinition& setting) {
  auto result = numberFromCache(setting.key, platform::Object(static_cast<int64_t>(setting.defaultValue)),
                                bound(setting.maxValue, true), bound(setting.minValue, true), keepWhenIntegral);
  auto value = result ? APMSettingNumberToInt64(*result) : std::nullopt;
  if (!value || *value > INT32_MAX || *value < INT32_MIN) return static_cast<int32_t>(setting.defaultValue);
  return static_cast<int32_t>(*value);
}

int64_t APMSettingsCache::int64Value(const APMSettingDefinition& setting) {
  auto result = numberFromCache(setting.key, platform::Object(static_cast<int64_t>(setting.defaultValue)),
                                bound(setting.maxValue, true), bound(setting.minValue, true), keepWhenIntegral);
  auto value = result ? APMSettingNumberToInt64(*result) : std::nullopt;
  return value.value_or(static_cast<int64_t>(setting.defaultValue));
}

int64_t APMSettingsCache::int64Value(const std::string& key, int64_t defaultValue) {
  auto result = numberFromCache(key, platform::Object(defaultValue), std::nullopt, std::nullopt, keepWhenIntegral);
  auto value = result ? APMSettingNumberToInt64(*result) : std::nullopt;
  return value.value_or(defaultValue);
}

bool APMSettingsCache::boolValue(const APMSettingDefinition& setting) { return intValue(setting) == 1; }

double APMSettingsCache::settingValue(const APMSettingDefinition& setting) {
  switch (setting.reader) {
    case APMSettingReader::kTimeSeconds: return timeIntervalInSeconds(setting);
    case APMSettingReader::kInt32: return intValue(setting);
    case APMSettingReader::kInt64: return static_cast<double>(int64Value(setting));
    case APMSettingReader::kBool: return boolValue(setting) ? 1 : 0;
  }
  return setting.defaultValue;
}

platform::Dictionary APMSettingsCache::settingsForPrograms() const {
  std::lock_guard<std::mutex> lock(mutex_);
  platform::Dictionary result;
  for (const auto& [key, value] : cachedValueByRemoteConfigKeys_) {
    if (auto text = textOf(value)) result[key] = *text;
  }
  return result;
}

void APMSettingsCache::replaceTexts(platform::Dictionary texts) {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedValueByRemoteConfigKeys_ = {std::make_move_iterator(texts.begin()), std::make_move_iterator(texts.end())};
  generation_.fetch_add(1, std::memory_order_release);
}

void APMSettingsCache::cacheNumber(const std::string& key, platform::Object number) {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedValueByRemoteConfigKeys_[key] = std::move(number);
  generation_.fetch_add(1, std::memory_order_release);
}

void APMSettingsCache::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedValueByRemoteConfigKeys_.clear();
  generation_.fetch_add(1, std::memory_order_release);
}
