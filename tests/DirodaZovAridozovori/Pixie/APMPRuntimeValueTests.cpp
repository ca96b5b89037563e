// Conversions, equality tables, values made from a kind and the shared numeric helpers.

#include <gtest/gtest.h>

#include <cmath>

#include "PixieTestSupport.h"

using pixietest::expectResults;

namespace {

TEST(APMPRuntimeValueTests, NumberToText) {
  struct Case { double number; const char* text; } cases[] = {
      {0.5, "0.5"}, {1e21, "1e+21"}, {1e-7, "1e-7"}, {-0.0, "0"}, {NAN, "NaN"}, {INFINITY, "Infinity"},
      {0.000001, "0.000001"}, {123456789012345680000.0, "123456789012345680000"}, {-2.5e-10, "-2.5e-10"},
      {0.1 + 0.2, "0.30000000000000004"}, {5e-324, "5e-324"},
  };
  for (const Case& c : cases) EXPECT_EQ(APMPNumberToString(c.number), c.text) << c.number;
}

TEST(APMPRuntimeValueTests, TextToNumber) {
  struct Case { const char* text; double number; } cases[] = {
      {" 12 ", 12},  {"", 0},      {"12px", NAN},     {"-Infinity", -INFINITY}, {".5", 0.5},
      {"0x10", NAN}, {"1e", NAN},  {"1e400", INFINITY}, {"infinity", NAN},      {"1 2", NAN},
  };
  for (const Case& c : cases) {
    double got = APMPStringToNumber(c.text);
    if (std::isnan(c.number)) EXPECT_TRUE(std::isnan(got)) << c.text;
    else EXPECT_EQ(got, c.number) << c.text;
  }
}

TEST(APMPRuntimeValueTests, ToInt32AndToInteger) {
  struct Case { double in; int32_t out; } cases[] = {
      {NAN, 0}, {INFINITY, 0}, {4294967296.0 + 5, 5}, {-(4294967296.0 + 3), -3}, {2147483648.0, -2147483648},
      {-7.9, -7}, {1e300, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(APMPToInt32(c.in), c.out) << c.in;
  EXPECT_EQ(APMPToInteger(NAN), 0);
  EXPECT_EQ(APMPToInteger(-3.7), -3);
  EXPECT_EQ(APMPToInteger(INFINITY), INFINITY);
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.0)));
  EXPECT_EQ(APMPClampToInt64(1e300, 0, 10), 10);
  EXPECT_EQ(APMPClampToInt64(-INFINITY, -5, 10), -5);
}

// Loose (12, 29) and strict (20, 21) equality, then ordering (23, 18).
TEST(APMPRuntimeValueTests, EqualityAndOrderTables) {
  expectResults({
      {"(12 (44) (45))", "true"}, {"(12 (44) 0)", "false"}, {"(12 \"1\" 1)", "true"},
      {"(12 \"1,2\" (7 1 2))", "true"}, {"(12 (7 1 2) (7 1 2))", "false"}, {"(12 true \"1\")", "true"},
      {"(29 (44) (45))", "false"},
      {"(41 \"a\") (3 \"a\" (7)) (12 (15 \"a\") (15 \"a\"))", "true"},
      {"(20 1 true)", "false"}, {"(20 (44) (45))", "false"}, {"(20 (7) (7))", "false"}, {"(21 1 true)", "true"},
      {"(20 0 -0)", "true"},
      {"(23 \"10\" \"9\")", "true"}, {"(23 \"10\" 9)", "false"}, {"(23 1 NaN)", "false"},
      {"(18 NaN 1)", "false"}, {"(23 \"B\" \"a\")", "true"}, {"(23 (7 1 0) \"1,1\")", "true"},
      {"(23 (45) 1)", "true"},
  });
}

TEST(APMPRuntimeValueTests, StructuralEquality) {
  APMPRuntime runtime;
  APMPScope& scope = runtime.globalScope();
  auto nan = APMPRuntimeValue::number(NAN);
  EXPECT_TRUE(nan.isEqualToRuntimeValue(APMPRuntimeValue::number(NAN)));
  EXPECT_FALSE(APMPStrictEquals(nan, nan));
  // Self-containing arrays compare without endless recursion.
  auto c = APMPObjectManager::arrayValueWithScope(scope);
  auto d = APMPObjectManager::arrayValueWithScope(scope);
  c.asArray()->setElementAt(0, c, nullptr);
  d.asArray()->setElementAt(0, d, nullptr);
  EXPECT_TRUE(c.isEqualToRuntimeValue(d));
  d.asArray()->setElementAt(1, APMPRuntimeValue::string("y"), nullptr);
  EXPECT_FALSE(c.isEqualToRuntimeValue(d));
}

// Values made from a bare kind, and the control and hole tests that sort them: a heap kind has no
// object to point at, so it must come out as undefined rather than as a handle to nothing.
TEST(APMPRuntimeValueTests, ValuesMadeFromAKind) {
  using K = APMPValueKind;
  struct Case { K kind; K made; bool control; bool hole; const char* type; } cases[] = {
      {K::Null, K::Null, false, false, ""},          {K::Hole, K::Hole, false, true, ""},
      {K::Break, K::Break, true, false, "break"},    {K::Continue, K::Continue, true, false, "continue"},
      {K::Boolean, K::Boolean, false, false, ""},    {K::Number, K::Number, false, false, ""},
      {K::String, K::Undefined, false, false, ""},   {K::Array, K::Undefined, false, false, ""},
      {K::Function, K::Undefined, false, false, ""}, {K::Return, K::Undefined, false, false, ""},
  };
  for (const Case& c : cases) {
    APMPRuntimeValue value(c.kind);
    ASSERT_EQ(value.kind(), c.made) << static_cast<int>(c.kind);
    APMPRuntimeValue copy = value;  // a handle without its object would crash here
    EXPECT_TRUE(APMPIsIdentical(copy, value)) << static_cast<int>(c.kind);
    EXPECT_EQ(APMPControlValue::isControl(value), c.control) << static_cast<int>(c.kind);
    EXPECT_EQ(APMPArrayValue::isHole(value), c.hole) << static_cast<int>(c.kind);
    EXPECT_EQ(APMPControlType(value), c.type) << static_cast<int>(c.kind);
  }
  EXPECT_FALSE(APMPRuntimeValue(K::Boolean).booleanValue());
  EXPECT_EQ(APMPRuntimeValue(K::Number).numberValue(), 0);

  auto returned = APMPControlValue::returnValueWithData(APMPRuntimeValue::number(4));
  EXPECT_TRUE(APMPControlValue::isControl(returned));
  EXPECT_EQ(APMPControlType(returned), "return");
  ASSERT_NE(APMPControlValue::asReturn(returned), nullptr);
  EXPECT_EQ(APMPControlValue::asReturn(returned)->data().numberValue(), 4);
  EXPECT_EQ(APMPControlValue::asReturn(APMPControlValue::breakValue()), nullptr);
}

// Identity: the same object for heap kinds, never equal texts in two objects.
TEST(APMPRuntimeValueTests, Identity) {
  auto text = APMPRuntimeValue::string("a");
  APMPRuntimeValue same = text;
  struct Case { APMPRuntimeValue a, b; bool identical; } cases[] = {
      {text, same, true},
      {text, APMPRuntimeValue::string("a"), false},
      {APMPArrayValue::hole(), APMPRuntimeValue(), false},
      {APMPControlValue::breakValue(), APMPControlValue::breakValue(), true},
      {APMPControlValue::breakValue(), APMPControlValue::continueValue(), false},
      {APMPRuntimeValue::number(0), APMPRuntimeValue::number(-0.0), true},
      {APMPRuntimeValue::number(NAN), APMPRuntimeValue::number(NAN), false},
      {APMPRuntimeValue::boolean(true), APMPRuntimeValue::boolean(false), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(APMPIsIdentical(cases[i].a, cases[i].b), cases[i].identical) << "case " << i;
}

TEST(APMPRuntimeValueTests, TextOrderIsByUTF16Units) {
  struct Case { const char* a; const char* b; int order; } cases[] = {
      {"a", "b", -1}, {"abc", "ab", 1}, {"10", "9", -1},
      {"\xEF\xBF\xBD", "\xF0\x9F\x98\x80", 1},   // U+FFFD sorts after a surrogate pair
      {"\xF0\x9F\x98\x80", "\xEE\x80\x80", -1},  // and so does U+E000
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(APMPCompareText(c.a, c.b), c.order) << c.a << " vs " << c.b;
}

TEST(APMPRuntimeValueTests, UTF16Counting) {
  EXPECT_EQ(APMPUTF16Length("\xC3\xA9"), 1u);          // é
  EXPECT_EQ(APMPUTF16Length("\xF0\x9F\x98\x80"), 2u);  // an emoji: a surrogate pair
  auto units = APMPUTF16Units("\xF0\x9F\x98\x80");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(APMPUTF16Length(units[0]), 1u);  // each half survives as one unit
  EXPECT_EQ(APMPUTF16Length("\xFF"), 1u);  // malformed bytes count as one replacement unit each
}

}  // namespace
