#include <gtest/gtest.h>

#include <algorithm>

#include "PixieMethodTestSupport.h"

namespace pixietest {
namespace {

using ArrayMethodTest = PixieMethodTest;

// The callback gets (element, index, array), never for a hole, and answers element - 2: every and
// some stop at the deciding element, map keeps holes, filter keeps truthy answers.
TEST_F(ArrayMethodTest, IterationMethodsCallBackForEachElement) {
  V subject;
  std::string calls;
  V callback = native([&](std::span<const V> args, platform::Error*) {
    EXPECT_EQ(args.size(), 3u);
    EXPECT_TRUE(APMPIsIdentical(args[2], subject));
    calls += describe(args[0]) + "@" + describe(args[1]) + " ";
    return num(args[0].numberValue() - 2);
  });
  struct Case { const char* method; APMPValueList elements; const char* result; const char* calls; };
  const Case cases[] = {
      {"forEach", {num(1), hole(), num(3)}, "undefined", "1@0 3@2 "},
      {"every", {num(1), num(2), num(3)}, "false", "1@0 2@1 "},
      {"every", {num(1), hole(), num(3)}, "true", "1@0 3@2 "},
      {"some", {num(2), num(2), num(5), num(1)}, "true", "2@0 2@1 5@2 "},
      {"map", {num(1), hole(), num(3), hole()}, "[-1,_,1,_]", "1@0 3@2 "},
      {"filter", {num(1), num(2), hole(), num(4)}, "[1,4]", "1@0 2@1 4@3 "},
  };
  for (const auto& c : cases) {
    subject = array(c.elements);
    const std::string before = describe(subject);
    SCOPED_TRACE(before + "." + c.method);
    calls.clear();
    platform::Error error;
    V result = callArray(subject, c.method, {callback}, error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(describe(result), c.result);
    EXPECT_FALSE(APMPIsIdentical(result, subject));
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(describe(subject), before);
  }
}

// One call on a fresh receiver: its result, the receiver afterwards (nullptr: unchanged) and the error.
// Searches use strict equality and relative starts; joins leave out holes, undefined and null;
// infinite bounds are clamped, never converted to an integer as they stand; reduce and sort skip
// holes, and sort puts them last with undefined before them.
TEST_F(ArrayMethodTest, CallsOnAFreshReceiver) {
  const double nan = std::nan("");
  const APMPValueList four{num(1), num(2), num(3), num(4)};
  V f = native([](std::span<const V>, platform::Error*) { return undef(); });
  V minus = native([](std::span<const V> args, platform::Error*) {
    return num(args[0].numberValue() - args[1].numberValue());
  });
  struct Case {
    APMPValueList elements;
    const char* method;
    APMPValueList arguments;
    const char* result;
    const char* after = nullptr;
    int64_t error = 0;
  };
  const Case cases[] = {
      {{num(nan)}, "indexOf", {num(nan)}, "-1"}, {{num(1), boolean(true)}, "indexOf", {boolean(true)}, "1"},
      {{num(1), num(2), num(1)}, "indexOf", {num(1), num(-1)}, "2"},
      {{num(1), num(2)}, "indexOf", {num(1), num(-10)}, "0"}, {{undef(), hole()}, "indexOf", {}, "0"},
      {{num(1), num(2), num(1)}, "lastIndexOf", {num(1), num(-2)}, "0"},
      {{num(1), num(2), num(3)}, "lastIndexOf", {num(1), num(-10)}, "-1"},
      {{num(1), num(2), num(3)}, "lastIndexOf", {num(3), num(nan)}, "2"},
      {{num(1), num(2)}, "indexOf", {num(1), num(-INFINITY)}, "0"},
      {{num(1), num(2)}, "indexOf", {num(1), num(INFINITY)}, "-1"},
      {{num(1), num(2)}, "lastIndexOf", {num(2), num(INFINITY)}, "1"},
      {{num(1), num(2)}, "lastIndexOf", {num(2), num(-INFINITY)}, "-1"},
      {{num(1), num(2)}, "join", {}, "'1,2'"}, {{num(1), num(2)}, "join", {undef()}, "'12'"},
      {{num(1), V::null(), num(2)}, "join", {str("-")}, "'1--2'"},
      {{num(1), hole(), undef(), str("x")}, "join", {num(0)}, "'1000x'"},
      {{num(1), hole(), num(0.5)}, "toString", {}, "'1,,0.5'"},
      {four, "slice", {num(2), num(1)}, "[]"}, {four, "slice", {num(1), num(-1)}, "[2,3]"},
      {four, "slice", {num(1.9), str("3")}, "[2,3]"},
      {four, "splice", {num(1), num(2)}, "[2,3]", "[1,4]"},
      {four, "splice", {num(-1), num(1), str("x"), str("y")}, "[4]", "[1,2,3,'x','y']"},
      {four, "splice", {num(1), num(-5), str("x")}, "[]", "[1,'x',2,3,4]"},
      {four, "splice", {num(10), num(1), str("x")}, "[]", "[1,2,3,4,'x']"},
      {four, "slice", {num(-INFINITY), num(INFINITY)}, "[1,2,3,4]"}, {four, "slice", {num(INFINITY)}, "[]"},
      {four, "splice", {num(-INFINITY), num(1)}, "[1]", "[2,3,4]"},
      {four, "splice", {num(1), num(INFINITY)}, "[2,3,4]", "[1]"},
      {four, "splice", {num(1e300), num(1e300)}, "[]"},
      {{num(1), num(2)}, "push", {}, "2"}, {{num(1), num(2)}, "push", {num(3), num(4)}, "4", "[1,2,3,4]"},
      {{num(1), num(2)}, "unshift", {str("a"), str("b")}, "4", "['a','b',1,2]"},
      {{num(1), num(2)}, "pop", {}, "2", "[1]"},
      {{num(1), num(2)}, "shift", {}, "1", "[2]"},
      {{num(1), num(2)}, "reverse", {}, "[2,1]", "[2,1]"},
      // Holes read as undefined and are no properties; pop and shift never hand out the hole marker.
      {{hole(), num(1)}, "hasOwnProperty", {num(0)}, "false"},
      {{hole(), num(1)}, "hasOwnProperty", {str("1")}, "true"},
      {{hole(), num(1), hole()}, "pop", {}, "undefined", "[_,1]"},
      {{hole(), num(1)}, "shift", {}, "undefined", "[1]"},
      {{}, "pop", {}, "undefined"},
      {{num(1), num(2), num(3)}, "reduce", {minus}, "-4"},
      {{num(1), num(2), num(3)}, "reduceRight", {minus}, "0"},
      {{num(1), hole(), num(2)}, "reduce", {minus, num(0)}, "-3"}, {{hole(), num(5)}, "reduce", {minus}, "5"},
      {{}, "reduce", {minus}, "undefined", nullptr, kAPMPErrorReduceOfEmpty},
      {{num(10), num(9), num(1)}, "sort", {}, "[1,10,9]", "[1,10,9]"},
      {{undef(), num(3), hole(), num(1)}, "sort", {}, "[1,3,undefined,_]", "[1,3,undefined,_]"},
      {{hole(), undef(), hole(), str("z")}, "sort", {}, "['z',undefined,_,_]", "['z',undefined,_,_]"},
      {{num(10), num(9), hole(), num(1), undef(), num(100)}, "sort", {minus}, "[1,9,10,100,undefined,_]",
       "[1,9,10,100,undefined,_]"},
      // concat flattens one level and refuses control values.
      {{num(1)}, "concat", {array({num(2), hole()}), str("x"), array({array({num(3)})})}, "[1,2,_,'x',[3]]"},
      {{num(1)}, "concat", {num(2), APMPControlValue::breakValue()}, "undefined", nullptr, kAPMPErrorArgumentKind},
      {{num(2), num(1)}, "every", {}, "undefined", nullptr, kAPMPErrorArgumentCount},
      {{num(2), num(1)}, "map", {undef()}, "undefined", nullptr, kAPMPErrorArgumentKind},
      {{num(2), num(1)}, "join", {str(","), str(",")}, "undefined", nullptr, kAPMPErrorArgumentCount},
      {{num(2), num(1)}, "reduce", {f, num(1), num(2)}, "undefined", nullptr, kAPMPErrorArgumentCount},
      {{num(2), num(1)}, "reduceRight", {f, APMPControlValue::continueValue()}, "undefined", nullptr, kAPMPErrorArgumentKind},
      {{num(2), num(1)}, "sort", {f, f}, "undefined", nullptr, kAPMPErrorArgumentCount},
      // Argument statements are evaluated before the call; the first one that fails stops it.
      {{num(1)}, "push", {stmt("0", {num(1), num(2)})}, "2", "[1,3]"},
      {{num(1)}, "push", {num(7), stmt("0", {num(1)})}, "undefined", nullptr, kAPMPErrorArgumentCount},
      // Conversion errors of arguments pass up unchanged.
      {{num(2), num(1)}, "join", {APMPControlValue::breakValue()}, "undefined", nullptr, kAPMPErrorNoStringForm},
      {{num(2), num(1)}, "splice", {num(0), APMPControlValue::continueValue()}, "undefined", nullptr, kAPMPErrorNoNumberForm},
      {{num(2), num(1)}, "hasOwnProperty", {APMPControlValue::breakValue()}, "undefined", nullptr, kAPMPErrorNoStringForm},
  };
  for (const auto& c : cases) {
    V subject = array(c.elements);
    const std::string before = describe(subject);
    SCOPED_TRACE(before + "." + c.method + describe(array(c.arguments)));
    platform::Error error;
    V result = callArray(subject, c.method, c.arguments, error);
    EXPECT_EQ(error.code, c.error);
    if (c.error) { EXPECT_EQ(error.domain, kAPMPErrorDomain); }
    EXPECT_EQ(describe(result), c.result);
    EXPECT_EQ(describe(subject), c.after ? c.after : before);
  }
}

TEST_F(ArrayMethodTest, HostileAndFailingCallbacks) {
  // Inconsistent answers: the result must still be a permutation of the input.
  unsigned state = 12345;
  V random = native([&](std::span<const V>, platform::Error*) {
    state = state * 1103515245u + 12345u;
    return num(static_cast<double>(static_cast<int>((state >> 16) % 3) - 1));
  });
  APMPValueList elements;
  for (int i = 0; i < 200; ++i) elements.push_back(num(i));
  V subject = array(elements);
  platform::Error error;
  callArray(subject, "sort", {random}, error);
  EXPECT_TRUE(error.empty());
  std::vector<bool> seen(200, false);
  ASSERT_EQ(subject.asArray()->count(), 200u);
  for (const V& v : subject.asArray()->elements()) seen[static_cast<size_t>(v.numberValue())] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 200);

  // A comparator that empties the array it sorts.
  V emptied = array({num(3), num(1), num(2)});
  V clearing = native([&](std::span<const V>, platform::Error* error) {
    emptied.asArray()->setLength(0, error);
    return num(1);
  });
  callArray(emptied, "sort", {clearing}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_LE(emptied.asArray()->count(), 3u);

  // A failing callback: the first error is reported, no further call is made, and a sorted array
  // still holds every element.
  int calls = 0;
  V failing = native([&](std::span<const V>, platform::Error* error) {
    if (++calls == 2) APMPSetError(error, kAPMPErrorNoNumberForm);
    return num(1);
  });
  V failed = array({num(3), num(1), num(2), num(5), num(4)});
  V result = callArray(failed, "sort", {failing}, error);
  EXPECT_EQ(error.code, kAPMPErrorNoNumberForm);
  EXPECT_TRUE(APMPIsIdentical(result, failed));
  EXPECT_EQ(failed.asArray()->count(), 5u);
  calls = 0;
  error = {};
  EXPECT_TRUE(callArray(array({num(1), num(2), num(3)}), "map", {failing}, error).isUndefined());
  EXPECT_EQ(error.code, kAPMPErrorNoNumberForm);
  EXPECT_EQ(calls, 2);
}

TEST_F(ArrayMethodTest, GrowthBeyondTheLengthLimitIsAnOrderlyError) {
  V big = array({});
  platform::Error error;
  ASSERT_TRUE(big.asArray()->setLength(kAPMPMaxArrayLength, &error));

  V pushed = callArray(big, "push", {num(1)}, error);
  EXPECT_TRUE(pushed.isUndefined());
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
  EXPECT_EQ(big.asArray()->count(), kAPMPMaxArrayLength);

  error = {};
  V joined = callArray(array({num(1)}), "concat", {big}, error);
  EXPECT_TRUE(joined.isUndefined());
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
}

}  // namespace
}  // namespace pixietest
