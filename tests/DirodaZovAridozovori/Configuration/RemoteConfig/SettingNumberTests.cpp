#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <set>
#include <string>

#include "RemoteConfig/APMRemoteConfigSettings.h"

namespace {

struct ParseCase {
  const char* text;
  bool parses;
  bool integer;
  double value;
};

TEST(SettingNumber, ParsesDecimalTextsOnly) {
  const ParseCase cases[] = {
      {"-900", true, true, -900},
      {"+15", true, true, 15},
      {"  42 ", true, true, 42},
      {"2.0", true, true, 2},
      {"1.5", true, false, 1.5},
      {".5", true, false, 0.5},
      {"99999999999999999999", true, false, 1e20},  // beyond int64: kept as a double
      {"", false, false, 0},
      {"1,5", false, false, 0},
      {"1e5", false, false, 0},
      {"12abc", false, false, 0},
      {"nan", false, false, 0},
      {"0x10", false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = APMParseSettingNumber(c.text);
    ASSERT_EQ(parsed.has_value(), c.parses);
    if (!c.parses) continue;
    EXPECT_EQ(parsed->isInteger(), c.integer);
    EXPECT_DOUBLE_EQ(parsed->doubleValue(), c.value);
  }
}

TEST(SettingNumber, ParsingIgnoresTheUsersLocale) {
  // A locale with a decimal comma must not change how "1.5" reads.
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  auto parsed = APMParseSettingNumber("1.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_DOUBLE_EQ(parsed->doubleValue(), 1.5);
}

TEST(SettingNumber, IntegerConversionRefusesWhatDoesNotFit) {
  EXPECT_EQ(APMSettingNumberToInt64(platform::Object(int64_t{5000})), 5000);
  EXPECT_EQ(APMSettingNumberToInt64(platform::Object(2.9)), 2);
  EXPECT_EQ(APMSettingNumberToInt64(platform::Object(-2.9)), -2);
  EXPECT_EQ(APMSettingNumberToInt64(platform::Object(-9223372036854775808.0)), INT64_MIN);
  EXPECT_FALSE(APMSettingNumberToInt64(platform::Object(9223372036854775808.0)).has_value());
  EXPECT_FALSE(APMSettingNumberToInt64(platform::Object(1e30)).has_value());
  EXPECT_FALSE(APMSettingNumberToInt64(platform::Object(std::nan(""))).has_value());
  EXPECT_FALSE(APMSettingNumberToInt64(platform::Object("12")).has_value());
}

TEST(SettingsTable, EveryKeyIsUniqueAndEveryDefaultLiesWithinItsBounds) {
  size_t count = 0;
  const APMSettingDefinition* const* all = APMSettings::all(&count);
  std::set<std::string> keys;
  for (size_t i = 0; i < count; ++i) {
    const auto& s = *all[i];
    SCOPED_TRACE(s.key);
    EXPECT_TRUE(keys.insert(s.key).second);
    EXPECT_EQ(std::string(s.key).rfind("measurement.", 0), 0u);
    EXPECT_LE(s.defaultValue, s.maxValue.value_or(s.defaultValue));
    EXPECT_GE(s.defaultValue, s.minValue.value_or(s.defaultValue));
    EXPECT_TRUE(s.reader != APMSettingReader::kBool || (s.maxValue == 1 && s.minValue == 0));
  }
}

}  // namespace
