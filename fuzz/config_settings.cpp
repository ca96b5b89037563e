// The configuration's settings as the server sends them: a text under each "measurement." key,
// line by line of the input in the order of the settings' table (so every line reaches a real
// setting), read through each setting's typed reader. A reading is the default or a value inside
// the setting's bounds, of the reader's kind, the same when read again from the cache; a plain
// decimal integer reads as itself (as seconds from milliseconds for a time) when the bounds allow it;
// and what programs see of a setting read is decimal text of the number its reading came from.
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RemoteConfig/APMRemoteConfigSettings.h"
#include "RemoteConfig/APMSettingsCache.h"

namespace {

std::vector<std::string> linesOf(const uint8_t* data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(static_cast<char>(data[i]));
    }
  }
  return lines;
}

// The integer a text of an optional minus and at most 15 digits stands for (exact in a double).
std::optional<int64_t> plainInteger(const std::string& text) {
  const size_t digits = text.size() - (!text.empty() && text[0] == '-' ? 1 : 0);
  if (digits == 0 || digits > 15) return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool inBounds(const APMSettingDefinition& setting, double value) {
  return (!setting.minValue || value >= *setting.minValue) && (!setting.maxValue || value <= *setting.maxValue);
}

void check(const APMSettingDefinition& setting, const std::string& text, double first, double again) {
  const std::string key = setting.key;
  if (std::memcmp(&first, &again, sizeof(first)) != 0) fuzzsupport::fail(key + " reads otherwise from the cache");
  if (first != setting.defaultValue && !inBounds(setting, first)) fuzzsupport::fail(key + " reads outside its bounds");
  const bool integral = setting.reader != APMSettingReader::kTimeSeconds;
  if (integral && first != std::trunc(first)) fuzzsupport::fail(key + " reads as a fraction");
  if (setting.reader == APMSettingReader::kBool && first != 0 && first != 1) fuzzsupport::fail(key + " reads as no switch");
  if (auto plain = plainInteger(text)) {
    const double meant = integral ? static_cast<double>(*plain) : static_cast<double>(*plain) / 1000.0;
    const double expected = inBounds(setting, meant) ? meant : setting.defaultValue;
    if (first != expected) fuzzsupport::fail(key + " reads " + std::to_string(first) + " from \"" + text + "\"");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  size_t count = 0;
  const APMSettingDefinition* const* settings = APMSettings::all(&count);
  const std::vector<std::string> lines = linesOf(data, size);

  platform::Dictionary texts;
  for (size_t i = 0; i < count && i < lines.size(); ++i) texts[settings[i]->key] = platform::Object(lines[i]);
  APMSettingsCache cache;
  cache.replaceTexts(texts);

  std::vector<double> readings(count);
  for (size_t i = 0; i < count; ++i) readings[i] = cache.settingValue(*settings[i]);
  for (size_t i = 0; i < count; ++i) {
    check(*settings[i], i < lines.size() ? lines[i] : std::string(), readings[i], cache.settingValue(*settings[i]));
  }

  const platform::Dictionary seen = cache.settingsForPrograms();
  for (size_t i = 0; i < count; ++i) {
    const std::string key = settings[i]->key;
    const platform::Object* text = platform::find(seen, key);
    if (!text || !text->isString()) fuzzsupport::fail("programs do not see " + key);
    // The cache keeps the number as validated: an integer setting may keep a fraction, which its
    // reader drops.
    auto number = APMParseSettingNumber(text->stringValue());
    const bool integral = settings[i]->reader != APMSettingReader::kTimeSeconds;
    if (!number || (integral ? std::trunc(number->doubleValue()) : number->doubleValue()) != readings[i]) {
      fuzzsupport::fail("programs see " + key + " as \"" + text->stringValue() + "\"");
    }
  }
  return 0;
}
