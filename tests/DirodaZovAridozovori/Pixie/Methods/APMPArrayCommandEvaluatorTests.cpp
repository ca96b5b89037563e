#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PixieMethodTestSupport.h"

namespace pixietest {
namespace {

using ArrayMethodTest = PixieMethodTest;

int64_t code(const platform::Error& error) { return error.code; }

TEST_F(ArrayMethodTest, ForEachSkipsHolesAndPassesElementIndexAndArray) {
  V subject = array({num(1), hole(), num(3)});
  std::vector<std::string> calls;
  V callback = native([&](std::span<const V> args, platform::Error*) {
    EXPECT_EQ(args.size(), 3u);
    EXPECT_TRUE(args[2].isIdenticalTo(subject));
    calls.push_back(describe(args[0]) + "@" + describe(args[1]));
    return num(99);
  });
  platform::Error error;
  V result = callArray(subject, "forEach", {callback}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(calls, (std::vector<std::string>{"1@0", "3@2"}));
}

TEST_F(ArrayMethodTest, CallbacksSeeTheLengthTakenBeforeTheFirstCall) {
  V subject = array({num(1), num(2), num(3)});
  int calls = 0;
  V pusher = native([&](std::span<const V>, platform::Error* error) {
    ++calls;
    subject.asArray()->appendElements(std::vector<V>{num(0)}, error);
    return undef();
  });
  platform::Error error;
  callArray(subject, "forEach", {pusher}, error);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(describe(subject), "[1,2,3,0,0,0]");

  V shrinking = array({num(1), num(2), num(3), num(4)});
  std::vector<std::string> seen;
  V popper = native([&](std::span<const V> args, platform::Error*) {
    seen.push_back(describe(args[0]));
    shrinking.asArray()->removeLastElement();
    return undef();
  });
  callArray(shrinking, "forEach", {popper}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2"}));
}

TEST_F(ArrayMethodTest, EveryAndSomeStopAtTheDecidingElement) {
  struct Case {
    const char* method;
    APMPValueList elements;
    double truthyBelow;  // the callback answers element < truthyBelow
    const char* result;
    int calls;
  };
  const Case cases[] = {
      {"every", {num(1), num(2), num(9), num(3)}, 5, "false", 3},
      {"every", {num(1), hole(), num(2)}, 5, "true", 2},
      {"some", {num(9), num(1), num(0)}, 5, "true", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    int calls = 0;
    double limit = c.truthyBelow;
    V predicate = native([&calls, limit](std::span<const V> args, platform::Error*) {
      ++calls;
      return boolean(args[0].numberValue() < limit);
    });
    platform::Error error;
    V result = callArray(array(c.elements), c.method, {predicate}, error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(describe(result), c.result);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(ArrayMethodTest, MapKeepsHolesAndFilterKeepsTruthyElements) {
  V doubler = native([](std::span<const V> args, platform::Error*) { return num(args[0].numberValue() * 2); });
  platform::Error error;
  V source = array({num(1), hole(), num(3), hole()});
  V mapped = callArray(source, "map", {doubler}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(describe(mapped), "[2,_,6,_]");
  EXPECT_FALSE(mapped.isIdenticalTo(source));
  EXPECT_EQ(describe(source), "[1,_,3,_]");

  V odd = native([](std::span<const V> args, platform::Error*) {
    return num(std::fmod(args[0].numberValue(), 2));
  });
  V kept = callArray(array({num(1), num(2), hole(), num(3), num(4)}), "filter", {odd}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(describe(kept), "[1,3]");
}

TEST_F(ArrayMethodTest, CallbackErrorsStopTheIterationAndKeepEarlierEffects) {
  int calls = 0;
  V failing = native([&](std::span<const V> args, platform::Error* error) {
    if (++calls == 2) APMPSetError(error, kAPMPErrorArgumentKind);
    return num(1);
  });
  V subject = array({num(1), num(2), num(3)});
  platform::Error error;
  V result = callArray(subject, "map", {failing}, error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(code(error), kAPMPErrorArgumentKind);
  EXPECT_EQ(calls, 2);
}

TEST_F(ArrayMethodTest, ReduceAndReduceRight) {
  V subtract = native([](std::span<const V> args, platform::Error*) {
    return num(args[0].numberValue() - args[1].numberValue());
  });
  int calls = 0;
  V counting = native([&](std::span<const V> args, platform::Error*) {
    ++calls;
    return args[0];
  });
  struct Case {
    const char* method;
    APMPValueList elements;
    bool withInitial;
    double initial;
    bool useCounting;
    const char* result;
    int64_t error;
    int calls;
  };
  const Case cases[] = {
      {"reduce", {num(1), num(2), num(3)}, false, 0, false, "-4", 0, 0},
      {"reduceRight", {num(1), num(2), num(3)}, false, 0, false, "0", 0, 0},
      {"reduce", {}, false, 0, true, "undefined", kAPMPErrorReduceOfEmpty, 0},
      {"reduce", {hole(), num(5)}, false, 0, true, "5", 0, 0},
      {"reduce", {num(1), hole(), num(2)}, true, 0, true, "0", 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(array(c.elements)) + " " + c.method);
    calls = 0;
    APMPValueList arguments{c.useCounting ? counting : subtract};
    if (c.withInitial) arguments.push_back(num(c.initial));
    platform::Error error;
    V result = callArray(array(c.elements), c.method, arguments, error);
    EXPECT_EQ(describe(result), c.result);
    EXPECT_EQ(code(error), c.error);
    EXPECT_EQ(calls, c.calls);
  }
}

// Searches use strict equality and relative starts; joins leave out holes, undefined and null.
TEST_F(ArrayMethodTest, SearchesAndJoins) {
  const double nan = std::nan("");
  struct Case {
    const char* method;
    APMPValueList elements;
    APMPValueList arguments;
    const char* result;
  };
  const Case cases[] = {
      {"indexOf", {num(nan)}, {num(nan)}, "-1"},
      {"indexOf", {num(1), boolean(true)}, {boolean(true)}, "1"},
      {"indexOf", {num(1), num(2), num(1)}, {num(1), num(1)}, "2"},
      {"indexOf", {num(1), num(2), num(1)}, {num(1), num(-1)}, "2"},
      {"indexOf", {num(1), num(2)}, {num(1), num(-10)}, "0"},
      {"indexOf", {undef(), hole()}, {}, "0"},
      {"lastIndexOf", {num(1), num(2), num(1)}, {num(1), num(1)}, "0"},
      {"lastIndexOf", {num(1), num(2), num(1)}, {num(1), num(-2)}, "0"},
      {"lastIndexOf", {num(1), num(2), num(3)}, {num(1), num(-10)}, "-1"},
      {"lastIndexOf", {num(1), num(2), num(3)}, {num(3), num(nan)}, "2"},
      {"indexOf", {num(1), num(2)}, {num(1), num(-INFINITY)}, "0"},
      {"indexOf", {num(1), num(2)}, {num(1), num(INFINITY)}, "-1"},
      {"lastIndexOf", {num(1), num(2)}, {num(2), num(INFINITY)}, "1"},
      {"lastIndexOf", {num(1), num(2)}, {num(2), num(-INFINITY)}, "-1"},
      {"join", {num(1), num(2)}, {}, "'1,2'"},
      {"join", {num(1), num(2)}, {undef()}, "'12'"},
      {"join", {num(1), V::null(), num(2)}, {str("-")}, "'1--2'"},
      {"join", {num(1), hole(), undef(), str("x")}, {num(0)}, "'1000x'"},
      {"toString", {num(1), hole(), num(0.5)}, {}, "'1,,0.5'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(array(c.elements)) + " " + c.method + describe(array(c.arguments)));
    platform::Error error;
    V result = callArray(array(c.elements), c.method, c.arguments, error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(describe(result), c.result);
  }
}

TEST_F(ArrayMethodTest, SliceAndSpliceClampTheirBounds) {
  struct Case {
    const char* method;
    APMPValueList arguments;
    const char* result;
    const char* after;  // the receiver afterwards
  };
  const Case cases[] = {
      {"slice", {num(2), num(1)}, "[]", "[1,2,3,4]"},
      {"slice", {num(1), num(-1)}, "[2,3]", "[1,2,3,4]"},
      {"slice", {num(1.9), str("3")}, "[2,3]", "[1,2,3,4]"},
      {"splice", {num(1), num(2)}, "[2,3]", "[1,4]"},
      {"splice", {num(-1), num(1), str("x"), str("y")}, "[4]", "[1,2,3,'x','y']"},
      {"splice", {num(1), num(-5), str("x")}, "[]", "[1,'x',2,3,4]"},
      {"splice", {num(10), num(1), str("x")}, "[]", "[1,2,3,4,'x']"},
      // Infinite bounds are clamped, never converted to an integer as they stand.
      {"slice", {num(-INFINITY), num(INFINITY)}, "[1,2,3,4]", "[1,2,3,4]"},
      {"slice", {num(INFINITY)}, "[]", "[1,2,3,4]"},
      {"splice", {num(-INFINITY), num(1)}, "[1]", "[2,3,4]"},
      {"splice", {num(1), num(INFINITY)}, "[2,3,4]", "[1]"},
      {"splice", {num(1e300), num(1e300)}, "[]", "[1,2,3,4]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + describe(array(c.arguments)));
    V subject = array({num(1), num(2), num(3), num(4)});
    platform::Error error;
    V result = callArray(subject, c.method, c.arguments, error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(describe(result), c.result);
    EXPECT_EQ(describe(subject), c.after);
  }
}

TEST_F(ArrayMethodTest, PushPopShiftUnshiftAndReverse) {
  platform::Error error;
  V subject = array({num(1), num(2)});
  EXPECT_EQ(describe(callArray(subject, "push", {}, error)), "2");
  EXPECT_EQ(describe(callArray(subject, "push", {num(3), num(4)}, error)), "4");
  EXPECT_EQ(describe(callArray(subject, "unshift", {str("a"), str("b")}, error)), "6");
  EXPECT_EQ(describe(subject), "['a','b',1,2,3,4]");
  EXPECT_EQ(describe(callArray(subject, "pop", {}, error)), "4");
  EXPECT_EQ(describe(callArray(subject, "shift", {}, error)), "'a'");
  V reversed = callArray(subject, "reverse", {}, error);
  EXPECT_TRUE(reversed.isIdenticalTo(subject));
  EXPECT_EQ(describe(subject), "[3,2,1,'b']");
  EXPECT_TRUE(error.empty());
}

TEST_F(ArrayMethodTest, ConcatFlattensOneLevelAndRefusesControlValues) {
  platform::Error error;
  V subject = array({num(1)});
  V result = callArray(subject, "concat", {array({num(2), hole()}), str("x"), array({array({num(3)})})}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(describe(result), "[1,2,_,'x',[3]]");
  EXPECT_EQ(describe(subject), "[1]");

  V refused = callArray(subject, "concat", {num(2), V::breakValue()}, error);
  EXPECT_TRUE(refused.isUndefined());
  EXPECT_EQ(code(error), kAPMPErrorArgumentKind);
}

TEST_F(ArrayMethodTest, SortOrdersAsTextOrByComparatorHolesLastUndefinedBeforeThem) {
  V numeric = native([](std::span<const V> args, platform::Error*) {
    return num(args[0].numberValue() - args[1].numberValue());
  });
  struct Case {
    APMPValueList elements;
    APMPValueList comparator;
    const char* sorted;
  };
  const Case cases[] = {
      {{num(10), num(9), num(1)}, {}, "[1,10,9]"},
      {{undef(), num(3), hole(), num(1)}, {}, "[1,3,undefined,_]"},
      {{hole(), undef(), hole(), str("z")}, {}, "['z',undefined,_,_]"},
      {{num(10), num(9), hole(), num(1), undef(), num(100)}, {numeric}, "[1,9,10,100,undefined,_]"},
  };
  for (const auto& c : cases) {
    V subject = array(c.elements);
    platform::Error error;
    V result = callArray(subject, "sort", c.comparator, error);
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(result.isIdenticalTo(subject));
    EXPECT_EQ(describe(subject), c.sorted);
  }
}

TEST_F(ArrayMethodTest, SortSurvivesHostileComparators) {
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

  // A failing comparator: the first error is reported and every element is still there.
  int calls = 0;
  V failing = native([&](std::span<const V>, platform::Error* error) {
    if (++calls == 2) APMPSetError(error, kAPMPErrorNoNumberForm);
    return num(1);
  });
  V failed = array({num(3), num(1), num(2), num(5), num(4)});
  V result = callArray(failed, "sort", {failing}, error);
  EXPECT_EQ(code(error), kAPMPErrorNoNumberForm);
  EXPECT_TRUE(result.isIdenticalTo(failed));
  EXPECT_EQ(failed.asArray()->count(), 5u);
}

TEST_F(ArrayMethodTest, ArgumentCountsAndKinds) {
  V f = native([](std::span<const V>, platform::Error*) { return undef(); });
  struct Case {
    const char* method;
    APMPValueList arguments;
    int64_t error;
  };
  const Case cases[] = {
      {"every", {}, kAPMPErrorArgumentCount},
      {"map", {undef()}, kAPMPErrorArgumentKind},
      {"join", {str(","), str(",")}, kAPMPErrorArgumentCount},
      {"reduce", {f, num(1), num(2)}, kAPMPErrorArgumentCount},
      {"reduce", {num(1)}, kAPMPErrorArgumentKind},
      {"reduceRight", {f, V::continueValue()}, kAPMPErrorArgumentKind},
      {"sort", {f, f}, kAPMPErrorArgumentCount},
      // Conversion errors of arguments pass up unchanged.
      {"join", {V::breakValue()}, kAPMPErrorNoStringForm},
      {"slice", {V::breakValue()}, kAPMPErrorNoNumberForm},
      {"splice", {num(0), V::continueValue()}, kAPMPErrorNoNumberForm},
      {"hasOwnProperty", {V::breakValue()}, kAPMPErrorNoStringForm},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + describe(array(c.arguments)));
    V subject = array({num(2), num(1)});
    platform::Error error;
    V result = callArray(subject, c.method, c.arguments, error);
    EXPECT_EQ(error.domain, kAPMPErrorDomain);
    EXPECT_EQ(code(error), c.error);
    EXPECT_TRUE(result.isUndefined());
    EXPECT_EQ(describe(subject), "[2,1]");
  }
}

TEST_F(ArrayMethodTest, GrowthBeyondTheLengthLimitIsAnOrderlyError) {
  V big = array({});
  platform::Error error;
  ASSERT_TRUE(big.asArray()->setLength(kAPMPMaxArrayLength, &error));

  V pushed = callArray(big, "push", {num(1)}, error);
  EXPECT_TRUE(pushed.isUndefined());
  EXPECT_EQ(code(error), kAPMPErrorResourceLimit);
  EXPECT_EQ(big.asArray()->count(), kAPMPMaxArrayLength);

  error = {};
  V joined = callArray(array({num(1)}), "concat", {big}, error);
  EXPECT_TRUE(joined.isUndefined());
  EXPECT_EQ(code(error), kAPMPErrorResourceLimit);
}

TEST_F(ArrayMethodTest, ArgumentsAreEvaluatedInOrderAndTheFirstErrorStops) {
  V subject = array({num(1)});
  // "1 + 2" as an argument statement evaluates before the call.
  platform::Error error;
  V result = callArray(subject, "push", {stmt("0", {num(1), num(2)})}, error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(describe(result), "2");
  EXPECT_EQ(describe(subject), "[1,3]");

  // A call with the wrong argument count inside an argument fails the whole call untouched.
  result = callArray(subject, "push", {num(7), stmt("0", {num(1)})}, error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(code(error), kAPMPErrorArgumentCount);
  EXPECT_EQ(describe(subject), "[1,3]");
}

}  // namespace
}  // namespace pixietest
