#include "platform/NumberFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <optional>

namespace {

TEST(NumberFormatTests, ParseDecimalNumberAcceptsOnlyPlainDecimals) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", 1.5},      {"-0.25", -0.25}, {"+2", 2.0},       {".5", 0.5},
      {"3.", 3.0},       {"1e3", 1000.0},  {"2.5E-1", 0.25},  {"007", 7.0},
      {"", std::nullopt}, {".", std::nullopt}, {"+", std::nullopt}, {"1,5", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1e", std::nullopt}, {"inf", std::nullopt},
      {"nan", std::nullopt}, {"0x10", std::nullopt}, {"1e400", std::nullopt},
      {"1e-400", 0.0},  {"1,000", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::parseDecimalNumber(c.text), c.value) << '"' << c.text << '"';
  }
  auto negativeUnderflow = platform::parseDecimalNumber("-1e-400");
  ASSERT_TRUE(negativeUnderflow);
  EXPECT_TRUE(std::signbit(*negativeUnderflow));
}

TEST(NumberFormatTests, ParsingIgnoresTheProcessLocale) {
  // A German numeric locale uses a comma; the result must not change (when the locale exists).
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(platform::parseDecimalNumber("1.5"), 1.5);
  EXPECT_EQ(platform::parseLocalizedNumber("1.5"), 1.5);
  EXPECT_EQ(platform::formatFixed(1.5, 2), "1.50");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(NumberFormatTests, ParseLocalizedNumberReadsEnUsText) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", 1.5}, {"1,234.5", 1234.5}, {"-3", -3.0}, {"", std::nullopt},
      {"abc", std::nullopt}, {"1.5x", std::nullopt}, {"+1.5", 1.5}, {"+-1", std::nullopt},
      {"+", std::nullopt}, {"++1", std::nullopt}, {" 1", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::parseLocalizedNumber(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(platform::parseLocalizedNumber("1,5", "de_DE"), 1.5);
}

TEST(NumberFormatTests, FormatFixedRoundsHalfUp) {
  struct Case {
    double value;
    int digits;
    const char* text;
  };
  const Case cases[] = {
      {1.5, 2, "1.50"},  {2, 2, "2.00"},     {0.125, 2, "0.13"},  {-0.125, 2, "-0.13"},
      {2.5, 0, "3"},     {1234567.891, 1, "1234567.9"}, {0, 3, "0.000"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::formatFixed(c.value, c.digits), c.text) << c.value;
}

TEST(NumberFormatTests, FormatNumberHonoursSignificantDigitsAndNotation) {
  platform::NumberFormatOptions significant;
  significant.maximumSignificantDigits = 17;
  significant.rounding = platform::NumberRounding::HalfUp;
  EXPECT_EQ(platform::formatNumber(0.5, significant), "0.5");
  EXPECT_EQ(platform::formatNumber(1234567, significant), "1234567");
  EXPECT_EQ(platform::formatNumber(0.000001, significant), "0.000001");
  EXPECT_EQ(platform::formatNumber(0.1, significant), "0.1");

  platform::NumberFormatOptions scientific = significant;
  scientific.scientific = true;
  EXPECT_EQ(platform::formatNumber(1e21, scientific), "1E21");
  EXPECT_EQ(platform::formatNumber(1.5e-7, scientific), "1.5E-7");

  platform::NumberFormatOptions grouped;
  grouped.grouping = true;
  EXPECT_EQ(platform::formatNumber(1234567, grouped), "1,234,567");
  EXPECT_EQ(platform::formatNumber(1234567, {}), "1234567");

  EXPECT_EQ(platform::formatNumber(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(platform::formatNumber(-std::numeric_limits<double>::infinity()), "-Infinity");
}

}  // namespace
