#include <gtest/gtest.h>

#include <cmath>

#include "PixieMethodTestSupport.h"
#include "TestSupport.h"
#include "platform/Regex.h"

namespace pixietest {
namespace {

using StringMethodTest = PixieMethodTest;

// One call on a text: its result, or the error it ends with (and an undefined result).
// Positions count UTF-16 code units; infinite positions are clamped, never converted to an integer
// as they stand; conversion errors of arguments pass up unchanged. Under a Turkish user language
// only the locale forms of the case mappings change.
TEST_F(StringMethodTest, Calls) {
  testsupport::ScopedEnvironment language("LANGUAGE", "tr");
  const double nan = std::nan("");
  struct Case {
    const char* receiver;
    const char* method;
    APMPValueList arguments;
    const char* result;
    int64_t error = 0;
    std::string domain = kAPMPErrorDomain;
  };
  const std::string catastrophic = std::string(40, 'a') + "!";
  const auto badPattern = static_cast<int64_t>(platform::RegexError::InvalidPattern);
  const Case cases[] = {
      {"abc", "charAt", {num(1)}, "'b'"}, {"abc", "charAt", {num(3)}, "''"},
      {"abc", "charAt", {str("x")}, "'a'"},
      {"abc", "hasOwnProperty", {num(3)}, "false"}, {"abc", "hasOwnProperty", {str("length")}, "true"},
      {"abc", "hasOwnProperty", {str("1")}, "true"},
      {"abcabc", "indexOf", {str("c"), num(3)}, "5"}, {"abcabc", "indexOf", {str("")}, "-1"},
      {"abcabc", "indexOf", {str("c"), num(-5)}, "2"},
      {"abcabc", "lastIndexOf", {str("a"), num(nan)}, "3"}, {"abcabc", "lastIndexOf", {str("bc"), num(4)}, "4"},
      {"abcdef", "slice", {num(2), num(-1)}, "'cde'"},
      {"abcdef", "substring", {num(4), num(2)}, "'cd'"}, {"abcdef", "substring", {str("1"), num(nan)}, "'a'"},
      {"abcdef", "slice", {num(-INFINITY), num(INFINITY)}, "'abcdef'"},
      {"abcdef", "substring", {num(INFINITY), num(-INFINITY)}, "'abcdef'"},
      {"abc", "charAt", {num(1e300)}, "''"},
      {"abcabc", "indexOf", {str("a"), num(INFINITY)}, "-1"},
      {"abcabc", "lastIndexOf", {str("c"), num(-INFINITY)}, "-1"},
      {"a\xF0\x9F\x98\x80" "b", "indexOf", {str("b")}, "3"},
      {"\xF0\x9F\x98\x80" "b", "slice", {num(2)}, "'b'"},
      {"aaa", "replace", {str("a"), str("b")}, "'baa'"}, {"aaa", "replace", {str(""), str("x")}, "'xaaa'"},
      {"a.b", "replace", {str("."), str("$&$1\\")}, "'a$&$1\\b'"},
      {"x1x", "replace", {num(1), num(2)}, "'x2x'"},
      {"abc123", "match", {str("[0-9]+")}, "['123']"}, {"ABC", "match", {str("b")}, "null"},
      {"a1b22", "match", {str("([a-z])(\\d+)")}, "['a1']"},
      {"\xF0\x9F\x98\x80" "x", "search", {str("x")}, "2"},
      {"a,b,,c", "split", {str(","), num(2)}, "['a','b']"}, {"", "split", {str(",")}, "['']"},
      {"a,b,c", "split", {str(","), num(4294967298.0)}, "['a','b']"},
      {"aundefinedb", "split", {undef()}, "['a','b']"}, {"a--b--", "split", {str("--")}, "['a','b','']"},
      {"stra\xC3\x9F" "e", "toUpperCase", {}, "'STRASSE'"},
      {"\xC2\xA0x\xE2\x80\xA8", "trim", {}, "'x'"},
      {"i", "toUpperCase", {}, "'I'"}, {"i", "toLocaleUpperCase", {}, "'\xC4\xB0'"},
      {"I", "toLowerCase", {}, "'i'"}, {"I", "toLocaleLowerCase", {}, "'\xC4\xB1'"},
      {"a", "concat", {num(1), V::null(), undef(), boolean(true)}, "'a1nullundefinedtrue'"},
      {"abc", "padStart", {}, "undefined", kAPMPErrorNoSuchMethod},
      {"abc", "charAt", {num(1), num(2)}, "undefined", kAPMPErrorArgumentCount},
      {"abc", "replace", {str("a"), str("b"), str("c")}, "undefined", kAPMPErrorArgumentCount},
      {"abc", "toLowerCase", {num(1)}, "undefined", kAPMPErrorArgumentCount},
      {"abc", "concat", {stmt("0", {num(1)})}, "undefined", kAPMPErrorArgumentCount},
      {"abc", "concat", {str("x"), APMPControlValue::breakValue()}, "undefined", kAPMPErrorNoStringForm},
      {"abc", "split", {str(","), APMPControlValue::breakValue()}, "undefined", kAPMPErrorNoNumberForm},
      // Bad patterns and patterns that would take exponential time are errors.
      {"abc", "match", {str("(")}, "undefined", badPattern, platform::kRegexErrorDomain},
      {"abc", "search", {str("(")}, "undefined", badPattern, platform::kRegexErrorDomain},
      {catastrophic.c_str(), "match", {str("^(a|aa)+$")}, "undefined", kAPMPErrorResourceLimit},
      {catastrophic.c_str(), "search", {str("^(a|aa)+$")}, "undefined", kAPMPErrorResourceLimit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.receiver + "'." + c.method + describe(array(c.arguments)));
    platform::Error error;
    V result = callString(str(c.receiver), c.method, c.arguments, error);
    EXPECT_EQ(error.code, c.error);
    if (c.error) { EXPECT_EQ(error.domain, c.domain); }
    EXPECT_EQ(describe(result), c.result);
  }
}

TEST(StringMethodBudgetTest, RegexWorkIsChargedToTheInstructionBudget) {
  // Far fewer evaluations than one step of matching work costs: the budget, not the per-call
  // limit, ends the match.
  APMPRuntimeConfiguration configuration;
  configuration.instructionLimit = kAPMPInstructionsPerRegexStep / 2;
  APMPRuntime runtime(configuration);
  APMPRuntime::Activation activation(runtime);
  APMPRef<APMPScope> scope = runtime.getRunScope();
  V text = str(std::string(48, 'a') + "!");
  APMPValueList arguments{str("^(a+)+$")};
  platform::Error error;
  V result = APMPStringMethodCall(*text.asString(), "search", arguments, *scope, &error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(error.domain, kAPMPErrorDomain);
  EXPECT_EQ(error.code, kAPMPErrorInstructionLimit);

  // A quick match costs nothing beyond its own evaluation.
  runtime.resetInstructionCount();
  error = {};
  V quick = APMPStringMethodCall(*text.asString(), "search", APMPValueList{str("a+!")}, *scope, &error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(describe(quick), "0");
}

TEST_F(StringMethodTest, ResultsBeyondTheLengthLimitAreRefused) {
  const std::string half(kAPMPMaxStringLength / 2 + 1, 'x');
  platform::Error error;
  V result = callString(str(half), "concat", {str(half)}, error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);

  // More pieces than an array may hold.
  error = {};
  const std::string commas(kAPMPMaxArrayLength + 1, ',');
  result = callString(str(commas), "split", {str(",")}, error);
  EXPECT_TRUE(result.isUndefined());
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
}

}  // namespace
}  // namespace pixietest
