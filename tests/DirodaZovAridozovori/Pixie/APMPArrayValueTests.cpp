// Array slots, holes, length and the data operations the array methods build on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "PixieTestSupport.h"

namespace {

using V = APMPRuntimeValue;

class APMPArrayValueTests : public ::testing::Test {
 protected:
  APMPArrayValue& array() { return *value_.asArray(); }
  V number(double d) { return V::number(d); }
  std::string text(const V& v) {
    platform::Error e;
    return v.stringValueOrError(&e);
  }
  std::string kinds() {
    std::string out;
    for (const V& slot : array().elements()) out += slot.isHole() ? "h" : (slot.isUndefined() ? "u" : text(slot));
    return out;
  }
  APMPRuntime runtime_;
  V value_ = APMPObjectManager::arrayValueWithScope(runtime_.globalScope());
};

TEST_F(APMPArrayValueTests, WritingPastTheEndLeavesHoles) {
  platform::Error error;
  ASSERT_TRUE(array().setValueForProperty(V::string("x"), number(5), &error));
  EXPECT_EQ(array().count(), 6u);
  EXPECT_EQ(kinds(), "hhhhhx");
  EXPECT_TRUE(array().valueForProperty(number(2), &error).isUndefined());
  EXPECT_FALSE(array().hasProperty(number(2), &error));
  EXPECT_TRUE(array().hasProperty(number(5), &error));
  EXPECT_TRUE(array().hasProperty(V::string("5"), &error));
  auto names = array().allPropertyNames();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(text(names[0]), "5");
  EXPECT_EQ(text(array().valueForProperty(V::string("length"), &error)), "6");
  EXPECT_TRUE(error.empty());
}

TEST_F(APMPArrayValueTests, LengthWrites) {
  platform::Error error;
  array().appendElements(std::vector<V>{number(1), number(2), number(3)}, &error);
  ASSERT_TRUE(array().setValueForProperty(number(2), V::string("length"), &error));
  EXPECT_EQ(kinds(), "12");
  ASSERT_TRUE(array().setValueForProperty(V::string("4"), V::string("length"), &error));
  EXPECT_EQ(kinds(), "12hh");
  struct Bad {
    V value;
    int code;
  } bad[] = {
      {number(-1), kAPMPErrorInvalidArrayLength},
      {number(1.5), kAPMPErrorInvalidArrayLength},
      {V::string("x"), kAPMPErrorInvalidArrayLength},
      {number(INFINITY), kAPMPErrorInvalidArrayLength},
      {number(4294967295.0), kAPMPErrorResourceLimit},
      {number(1e300), kAPMPErrorResourceLimit},
  };
  for (const Bad& b : bad) {
    platform::Error e;
    EXPECT_FALSE(array().setValueForProperty(b.value, V::string("length"), &e));
    EXPECT_EQ(e.code, b.code) << text(b.value);
  }
  EXPECT_EQ(array().count(), 4u);
  // A huge index is refused before anything is allocated.
  platform::Error e;
  EXPECT_FALSE(array().setValueForProperty(number(1), number(4294967294.0), &e));
  EXPECT_EQ(e.code, kAPMPErrorResourceLimit);
  EXPECT_EQ(array().count(), 4u);
}

TEST_F(APMPArrayValueTests, RemovingAnIndexLeavesAHole) {
  platform::Error error;
  array().appendElements(std::vector<V>{number(1), number(2)}, &error);
  array().removeValueForProperty(number(0), &error);
  EXPECT_EQ(array().count(), 2u);
  EXPECT_TRUE(array().valueForProperty(number(0), &error).isUndefined());
  array().removeValueForProperty(number(7), &error);  // beyond the end: nothing
  EXPECT_EQ(kinds(), "h2");
  array().setValueForProperty(number(3), V::string("named"), &error);
  array().removeValueForProperty(V::string("named"), &error);
  EXPECT_FALSE(array().hasProperty(V::string("named"), &error));
}

TEST_F(APMPArrayValueTests, PopAndShiftNeverHandOutTheHoleMarker) {
  platform::Error error;
  array().setValueForProperty(number(1), number(2), &error);  // [hole, hole, 1]
  array().setLength(4, &error);                                 // [hole, hole, 1, hole]
  V last = array().removeLastElement();
  EXPECT_TRUE(last.isUndefined());
  EXPECT_FALSE(last.isHole());
  V first = array().removeFirstElement();
  EXPECT_TRUE(first.isUndefined());
  EXPECT_FALSE(first.isHole());
  EXPECT_EQ(kinds(), "h1");
  array().setLength(0, &error);
  EXPECT_TRUE(array().removeLastElement().isUndefined());
  EXPECT_TRUE(array().removeFirstElement().isUndefined());
}

TEST_F(APMPArrayValueTests, SpliceConcatAndSearch) {
  platform::Error error;
  array().appendElements(std::vector<V>{number(1), number(2), number(3), number(4)}, &error);
  auto removed = array().spliceFrom(1, 2, std::vector<V>{V::string("a"), V::string("b"), V::string("c")}, &error);
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(text(removed[0]) + text(removed[1]), "23");
  EXPECT_EQ(kinds(), "1abc4");
  removed = array().spliceFrom(-5, 100, {}, &error);  // clamped: removes everything
  EXPECT_EQ(removed.size(), 5u);
  EXPECT_EQ(array().count(), 0u);

  V other = APMPObjectManager::arrayValueWithArray({number(7), V::hole()}, runtime_.globalScope());
  EXPECT_TRUE(array().concat(other, &error));
  EXPECT_TRUE(array().concat(number(8), &error));
  EXPECT_TRUE(array().concat(value_, &error));  // itself: its slots as they were
  EXPECT_EQ(kinds(), "7h87h8");
  platform::Error e;
  EXPECT_FALSE(array().concat(V::breakValue(), &e));
  EXPECT_EQ(e.code, kAPMPErrorArgumentKind);

  EXPECT_EQ(array().indexOfValue(number(8), 0, &error), 2);
  EXPECT_EQ(array().indexOfValue(number(8), 3, &error), 5);
  EXPECT_EQ(array().indexOfValue(V::string("8"), 0, &error), -1);
  EXPECT_EQ(array().lastIndexOfValue(number(7), 5, &error), 3);
  EXPECT_EQ(array().lastIndexOfValue(number(7), 2, &error), 0);
  EXPECT_EQ(array().lastIndexOfValue(number(7), -1, &error), -1);
  EXPECT_EQ(array().indexOfValue(number(NAN), 0, &error), -1);
}

TEST_F(APMPArrayValueTests, SortPutsUndefinedThenHolesLast) {
  platform::Error error;
  array().appendElements(std::vector<V>{V(), number(3), V::hole(), number(1), number(10), number(9)}, &error);
  ASSERT_TRUE(array().sortUsingFunctionValue(nullptr, runtime_.globalScope(), &error));
  EXPECT_EQ(kinds(), "11039uh");  // text order without a function: 10 before 9
}

TEST_F(APMPArrayValueTests, SortWithFunctionsGoodAndHostile) {
  struct Case {
    const char* comparator;  // a function expression
    const char* expected;    // the sorted array's text, or "" when only safety is checked
    int code;
  } cases[] = {
      {"(51 \"\" (7 \"a\" \"b\") (36 (37 (15 \"a\") (15 \"b\"))))", "1,3,9,10", 0},
      {"(51 \"\" (7 \"a\" \"b\") (36 (37 (15 \"b\") (15 \"a\"))))", "10,9,3,1", 0},
      // Inconsistent answers: the sort still ends with every element present once.
      {"(51 \"\" (7 \"a\" \"b\") (36 1))", "", 0},
      {"(51 \"\" (7 \"a\" \"b\") (36 -1))", "", 0},
      {"(51 \"\" (7 \"a\" \"b\") (36 NaN))", "10,3,9,1", 0},
      // A comparator that empties the array while it sorts.
      {"(51 \"\" (7 \"a\" \"b\") (43 (15 \"arr\") \"length\" 0) (36 -1))", "", 0},
      // A failing comparator: the error is reported after the sort.
      {"(51 \"\" (7 \"a\" \"b\") (3 \"undeclared\" 1))", "", kAPMPErrorUndeclaredAssignment},
  };
  for (const Case& c : cases) {
    APMPRuntime runtime;
    std::string program = std::string("(41 \"arr\") (3 \"arr\" (7 10 3 9 1)) (41 \"cmp\") (3 \"cmp\" ") + c.comparator +
                          ") (7)";
    auto setup = pixietest::run(runtime, program);
    ASSERT_TRUE(setup.ok()) << c.comparator;
    V arr = runtime.globalScope().valueForName("arr");
    V cmp = runtime.globalScope().valueForName("cmp");
    platform::Error error;
    bool ok = arr.asArray()->sortUsingFunctionValue(cmp.asFunction(), runtime.globalScope(), &error);
    EXPECT_EQ(ok, c.code == 0) << c.comparator;
    EXPECT_EQ(error.code, c.code) << c.comparator;
    std::vector<std::string> values;
    for (const V& slot : arr.asArray()->elements()) values.push_back(text(slot));
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::string>{"1", "10", "3", "9"})) << c.comparator;
    if (*c.expected) {
      EXPECT_EQ(text(arr), c.expected) << c.comparator;
    }
  }
}

TEST_F(APMPArrayValueTests, JoiningCyclicAndDeepArraysTerminates) {
  platform::Error error;
  array().appendElements(std::vector<V>{number(1), value_, number(2)}, &error);
  EXPECT_EQ(array().stringValueWithSeparator(",", &error), "1,,2");
  EXPECT_TRUE(error.empty());

  V outer = APMPObjectManager::arrayValueWithScope(runtime_.globalScope());
  V cursor = outer;
  for (int i = 0; i < 1000; ++i) {
    V inner = APMPObjectManager::arrayValueWithScope(runtime_.globalScope());
    cursor.asArray()->setElementAt(0, inner, &error);
    cursor = inner;
  }
  platform::Error deep;
  EXPECT_EQ(outer.stringValueOrError(&deep), "");
  EXPECT_EQ(deep.code, kAPMPErrorResourceLimit);
}

}  // namespace
