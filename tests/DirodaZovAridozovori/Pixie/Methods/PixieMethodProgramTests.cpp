// Method calls as programs make them: statement trees run by the runtime, reaching the tables
// through the method-call command.
#include <gtest/gtest.h>

#include <string>

#include "PixieMethodTestSupport.h"

namespace pixietest {
namespace {

using MethodProgramTest = PixieMethodTest;

V read(const char* name) { return stmt("15", {str(name)}); }
V assign(const char* name, V value) { return stmt("3", {str(name), std::move(value)}); }
V literal(APMPValueList elements) { return stmt("7", std::move(elements)); }
V methodCall(V receiver, const char* method, APMPValueList arguments) {
  return stmt("2", {std::move(receiver), str(method), stmt("46", std::move(arguments))});
}
// function (a, b) { return <body>; }
V function(APMPValueList parameters, V body) {
  return stmt("51", {str(""), stmt("46", std::move(parameters)), stmt("36", {std::move(body)})});
}

// Native methods call back into functions the program defined.
TEST_F(MethodProgramTest, ProgramFunctionsAsCallbacks) {
  struct Case {
    const char* name;
    APMPValueList program;
    const char* result;
  };
  const Case cases[] = {
      {"reduceRight with a program function",
       {methodCall(literal({num(1), num(2), num(3)}), "reduceRight",
                   {function({str("acc"), str("x")}, stmt("37", {read("acc"), read("x")}))})},
       "0"},
      {"replace with a program function",
       {methodCall(str("price: 5"), "replace",
                   {str("5"), function({str("s")}, stmt("0", {read("s"), str("0")}))})},
       "'price: 50'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Error error;
    V result = runtime().executeStatements(c.program, &error);
    EXPECT_TRUE(error.empty()) << error.domain << " " << error.code;
    EXPECT_EQ(describe(result), c.result);
  }
}

// A loop that calls one method on a long array: each call moves or copies every element.
APMPValueList loopOverLongArray(const char* method) {
  return {stmt("41", {str("a")}), assign("a", literal({})),
          stmt("43", {read("a"), str("length"), num(1 << 19)}),
          stmt("42", {boolean(true), stmt("44", {}), boolean(false),
                      stmt("46", {methodCall(read("a"), method, {})})})};
}

TEST_F(MethodProgramTest, CostlyMethodCallsInLoopsReachTheResourceLimit) {
  struct Case {
    const char* name;
    APMPValueList program;
    int64_t code;
  };
  const Case cases[] = {
      // Each call converts the whole text: far more work than its one instruction.
      {"searching a long text in a loop",
       {stmt("41", {str("s")}), assign("s", str(std::string(size_t{1} << 19, 'a'))),
        stmt("42", {boolean(true), stmt("44", {}), boolean(false),
                    stmt("46", {methodCall(read("s"), "indexOf", {str("b")})})})},
       kAPMPErrorResourceLimit},
      {"reversing a long array in a loop", loopOverLongArray("reverse"), kAPMPErrorResourceLimit},
      {"copying a long array in a loop", loopOverLongArray("slice"), kAPMPErrorResourceLimit},
      {"shifting a long array in a loop", loopOverLongArray("shift"), kAPMPErrorResourceLimit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Error error;
    V result = runtime().executeStatements(c.program, &error);
    EXPECT_EQ(error.domain, kAPMPErrorDomain);
    EXPECT_EQ(error.code, c.code);
  }
}

}  // namespace
}  // namespace pixietest
