#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "APMLogCapture.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"

namespace {

// Collects what the utilities report while a test runs.
class CapturedLog {
 public:
  const std::vector<testsupport::APMLoggedLine>& entries() {
    lines_ = capture_.lines();
    return lines_;
  }

 private:
  testsupport::APMLogCapture capture_;
  std::vector<testsupport::APMLoggedLine> lines_;
};

TEST(APMNumericUtilTests, DecimalStringShape) {
  struct Case { const char* text; bool decimal; } cases[] = {
      {"123", true},  {"+3.", true},   {"-.5", true},    {"007", true},   {"", false},    {"+", false},
      {".", false},   {"+.", false},   {"1e5", false},   {" 1", false},   {"1\n", false}, {"1.2.3", false},
      {"--1", false}, {"0x10", false}, {"1,000", false}, {"١٢", false},  {"nan", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMIsDecimalString(c.text), c.decimal) << '"' << c.text << '"';
  }
}

TEST(APMNumericUtilTests, DecimalFromStringAcceptsAndCanonicalises) {
  struct Case { const char* text; const char* canonical; } cases[] = {
      {".5", "0.5"},
      {"1.50", "1.5"},
      {"000123.4500", "123.45"},
      {"-0", "0"},
      // 38 significant digits are kept exactly.
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      // Dropping only zeros loses nothing.
      {"1000000000000000000000000000000000000000", "1000000000000000000000000000000000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CapturedLog log;
    auto number = APMDecimalNumberFromString(c.text);
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(number->stringValue(), c.canonical);
    EXPECT_TRUE(log.entries().empty());
  }
}

TEST(APMNumericUtilTests, DecimalFromStringRefusals) {
  struct Case { std::string text; int64_t code; } cases[] = {
      {"", 26001},
      {"1e5", 26001},
      // 40 significant digits.
      {"1234567890123456789012345678901234567890", 26003},
      {"0.12345678901234567890123456789012345678901", 26003},
      // The rounded value's text occurs inside the fraction's zeros; still a loss.
      {"1000000000000000000000000000000000000000001.1000000000000000000000000000000000000000000000", 26003},
      // Beyond the exponent range of a decimal number.
      {"0." + std::string(200, '0') + "1", 26002},
      {"1" + std::string(200, '0'), 26002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CapturedLog log;
    EXPECT_FALSE(APMDecimalNumberFromString(c.text).has_value());
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].code, c.code);
    EXPECT_EQ(log.entries()[0].level, 2);
    ASSERT_EQ(log.entries()[0].contexts.size(), 1u);
    EXPECT_EQ(log.entries()[0].contexts[0].object()->stringValue(), c.text);
    // The text of the other refusal reaches the monitor sample (see the utilities log tests).
    if (c.code == 26003) {
      EXPECT_EQ(log.entries()[0].message,
                "Unable to create a NSDecimalNumber from string value: loss of precision. Value");
    }
  }
}

APMDecimalNumber decimal(const char* text) {
  auto number = APMDecimalNumber::fromString(text);
  EXPECT_TRUE(number.has_value()) << text;
  return number.value_or(APMDecimalNumber());
}

TEST(APMNumericUtilTests, DecimalComparisonIsExact) {
  struct Case { const char* left; const char* right; int expected; } cases[] = {
      {"0.1", "0.10", 0},
      {"-0", "0", 0},
      {"-1", "-2", 1},
      {"10", "9.999", 1},
      {"100", "1e2", 0},
      // Neighbours that a double cannot tell apart.
      {"9007199254740993", "9007199254740992", 1},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345679", -1},
      {"0.30000000000000000000000000000000000001", "0.3", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " vs " + c.right);
    APMDecimalNumber left = decimal(c.left);
    APMDecimalNumber right = decimal(c.right);
    EXPECT_EQ(left.compare(right), c.expected);
    EXPECT_EQ(right.compare(left), -c.expected);
    EXPECT_EQ(left == right, c.expected == 0);
    EXPECT_EQ(left < right, c.expected < 0);
  }
}

TEST(APMNumericUtilTests, DecimalConversions) {
  EXPECT_EQ(APMDecimalNumber::fromInt64(std::numeric_limits<int64_t>::min()).stringValue(), "-9223372036854775808");
  EXPECT_EQ(APMDecimalNumber::fromDouble(0.1)->stringValue(), "0.1");
  EXPECT_EQ(APMDecimalNumber::fromDouble(-2.5e-3)->stringValue(), "-0.0025");
  EXPECT_EQ(APMDecimalNumber::fromDouble(1e20)->stringValue(), "100000000000000000000");
  EXPECT_FALSE(APMDecimalNumber::fromDouble(std::numeric_limits<double>::infinity()).has_value());
  EXPECT_FALSE(APMDecimalNumber::fromDouble(std::numeric_limits<double>::quiet_NaN()).has_value());

  struct Case { const char* text; int64_t truncated; double asDouble; } cases[] = {
      {"42.9", 42, 42.9},
      {"-42.9", -42, -42.9},
      {"9223372036854775808", std::numeric_limits<int64_t>::max(), 9223372036854775808.0},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min(), -9223372036854775808.0},
      {"-99999999999999999999", std::numeric_limits<int64_t>::min(), -1e20},
      {"1e3", 1000, 1000.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    APMDecimalNumber number = decimal(c.text);
    EXPECT_EQ(number.longLongValue(), c.truncated);
    EXPECT_DOUBLE_EQ(number.doubleValue(), c.asDouble);
  }
}

}  // namespace
