#include "platform/NumberFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <optional>

namespace {

TEST(NumberFormatTests, ParseDecimalNumberAcceptsOnlyPlainDecimals) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"-0.25", -0.25}, {"+2", 2.0},         {".5", 0.5},          {"3.", 3.0},
      {"2.5E-1", 0.25}, {"", std::nullopt}, {".", std::nullopt},  {"1,5", std::nullopt},
      {" 1", std::nullopt}, {"1e", std::nullopt}, {"inf", std::nullopt}, {"0x10", std::nullopt},
      {"1e400", std::nullopt}, {"1e-400", 0.0},
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
  EXPECT_EQ(platform::formatFixed(1.5, 2), "1.50");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
