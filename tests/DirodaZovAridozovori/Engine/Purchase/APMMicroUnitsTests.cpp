// Money in micro-units: scaled on decimal digits, rounded as each use asks, refused out of range.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "Purchase/APMMicroUnits.h"

namespace {

using Rounding = APMMicroUnitsRounding;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(MicroUnitsTest, DecimalTextBecomesExactMicroUnits) {
  struct Case {
    const char* text;
    Rounding rounding;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {"9.99", Rounding::TowardZero, 9990000},
      {"2.01", Rounding::TowardZero, 2010000},
      {"0.29", Rounding::TowardZero, 290000},
      {"1e2", Rounding::TowardZero, 100000000},
      {"0.0000019", Rounding::TowardZero, 1},
      {"-0.0000019", Rounding::TowardZero, -1},
      {"0.0000015", Rounding::HalfAwayFromZero, 2},
      {"0.0000014999", Rounding::HalfAwayFromZero, 1},
      {"-0.0000005", Rounding::HalfAwayFromZero, -1},
      {"-0.0000004", Rounding::HalfAwayFromZero, 0},
      {"9223372036854.775807", Rounding::TowardZero, kMax},
      {"9223372036854.7758079", Rounding::TowardZero, kMax},
      {"9223372036854.7758075", Rounding::HalfAwayFromZero, std::nullopt},
      {"9223372036854.775808", Rounding::TowardZero, std::nullopt},
      {"-9223372036854.775808", Rounding::TowardZero, kMin},
      {"-9223372036854.775809", Rounding::TowardZero, std::nullopt},
      {"1e200", Rounding::TowardZero, std::nullopt},
      {"nine", Rounding::TowardZero, std::nullopt},
      {"", Rounding::TowardZero, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(APMMicroUnitsFromText(c.text, c.rounding), c.expected) << c.text;
}

TEST(MicroUnitsTest, DoublesAreReadAsTheirShortestDecimal) {
  struct Case {
    double value;
    Rounding rounding;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {2.01, Rounding::TowardZero, 2010000},           // 2.01 * 1e6 is 2009999.9999999998 in binary
      {9.99, Rounding::HalfAwayFromZero, 9990000},
      {4.0000005, Rounding::HalfAwayFromZero, 4000001},  // 4000000.4999999995 in binary
      {-2.5e-7, Rounding::HalfAwayFromZero, 0},
      {1e13, Rounding::HalfAwayFromZero, std::nullopt},
      {std::numeric_limits<double>::infinity(), Rounding::TowardZero, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), Rounding::TowardZero, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(APMMicroUnitsFromDouble(c.value, c.rounding), c.expected) << c.value;
}

TEST(MicroUnitsTest, CheckedArithmeticRefusesOverflow) {
  EXPECT_EQ(APMCheckedMultiply(3, 990000), 2970000);
  EXPECT_EQ(APMCheckedMultiply(kMax / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(APMCheckedMultiply(kMin, -1), std::nullopt);
  EXPECT_EQ(APMCheckedAdd(kMax, 0), kMax);
  EXPECT_EQ(APMCheckedAdd(kMax, 1), std::nullopt);
  EXPECT_EQ(APMCheckedAdd(kMin, -1), std::nullopt);
}

}  // namespace
