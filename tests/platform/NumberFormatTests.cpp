#include "platform/NumberFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <optional>

namespace {

// Out-of-range magnitudes give nothing rather than infinity; whatever the process locale, the
// decimal separator is a point.
TEST(NumberFormatTests, ParseDecimalNumberAcceptsOnlyPlainDecimalsWhateverTheLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // a comma locale, when the machine has it
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"-0.25", -0.25}, {"+2", 2.0},           {".5", 0.5},           {"3.", 3.0},          {"2.5E-1", 0.25},
      {"", std::nullopt}, {".", std::nullopt}, {"1,5", std::nullopt}, {" 1", std::nullopt}, {"1e", std::nullopt},
      {"inf", std::nullopt}, {"0x10", std::nullopt}, {"1e400", std::nullopt}, {"1e-400", 0.0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(platform::parseDecimalNumber(text), value) << '"' << text << '"';
  auto negativeUnderflow = platform::parseDecimalNumber("-1e-400");
  EXPECT_TRUE(negativeUnderflow && std::signbit(*negativeUnderflow));
  EXPECT_EQ(platform::formatFixed(1.5, 2), "1.50");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
