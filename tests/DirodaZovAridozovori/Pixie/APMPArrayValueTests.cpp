// Array slots, holes, length and the data operations the array methods build on.

#include <gtest/gtest.h>

#include <cmath>

#include "PixieTestSupport.h"

namespace {

using V = APMPRuntimeValue;

class APMPArrayValueTests : public ::testing::Test {
 protected:
  APMPArrayValue& array() { return *value_.asArray(); }
  static V number(double d) { return V::number(d); }
  static std::string text(const V& v) {
    platform::Error e;
    return v.stringValueOrError(&e);
  }
  // Each slot: "h" for a hole, "u" for undefined, else its text.
  std::string kinds() {
    std::string out;
    for (const V& slot : array().elements()) out += APMPArrayValue::isHole(slot) ? "h" : (slot.isUndefined() ? "u" : text(slot));
    return out;
  }
  APMPRuntime runtime_;
  V value_ = APMPObjectManager::arrayValueWithScope(runtime_.globalScope());
};

TEST_F(APMPArrayValueTests, LengthWrites) {
  platform::Error error;
  array().appendElements(std::vector<V>{number(1), number(2), number(3)}, &error);
  ASSERT_TRUE(array().setValueForProperty(number(2), V::string("length"), &error));
  ASSERT_TRUE(array().setValueForProperty(V::string("4"), V::string("length"), &error));
  EXPECT_EQ(kinds(), "12hh");
  struct Bad { V value; int code; } bad[] = {
      {number(-1), kAPMPErrorInvalidArrayLength},       {number(1.5), kAPMPErrorInvalidArrayLength},
      {V::string("x"), kAPMPErrorInvalidArrayLength},   {number(INFINITY), kAPMPErrorInvalidArrayLength},
      {number(4294967295.0), kAPMPErrorResourceLimit},  {number(1e300), kAPMPErrorResourceLimit},
  };
  for (const Bad& b : bad) {
    platform::Error e;
    EXPECT_FALSE(array().setValueForProperty(b.value, V::string("length"), &e));
    EXPECT_EQ(e.code, b.code) << text(b.value);
  }
  // A huge index is refused before anything is allocated.
  platform::Error e;
  EXPECT_FALSE(array().setValueForProperty(number(1), number(4294967294.0), &e));
  EXPECT_EQ(e.code, kAPMPErrorResourceLimit);
  EXPECT_EQ(kinds(), "12hh");
}

TEST_F(APMPArrayValueTests, ConcatWithItselfCopiesItsSlotsAsTheyWere) {
  platform::Error error;
  V other = APMPObjectManager::arrayValueWithArray({number(7), APMPArrayValue::hole()}, runtime_.globalScope());
  EXPECT_TRUE(array().concat(other, &error));
  EXPECT_TRUE(array().concat(number(8), &error));
  EXPECT_TRUE(array().concat(value_, &error));
  EXPECT_EQ(kinds(), "7h87h8");
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
  EXPECT_EQ(outer.stringValueOrError(&error), "");
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
}

}  // namespace
