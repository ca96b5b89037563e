// The runtime as a whole: instruction limit, resource bounds, collection, scopes.

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "APMNanoAccessors.h"
#include "PixieTestSupport.h"

using pixietest::run;

namespace {

TEST(APMPRuntimeTests, InstructionLimitIsExact) {
  APMPRuntime runtime;
  std::vector<APMPRuntimeValue> literals(1000000, APMPRuntimeValue::number(1));
  platform::Error error;
  runtime.executeStatements(literals, &error);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(runtime.getInstructionCount(), 1000000);
  APMPRuntimeValue one = APMPRuntimeValue::number(1);
  runtime.executeStatements(std::span<const APMPRuntimeValue>(&one, 1), &error);
  EXPECT_EQ(error.code, kAPMPErrorInstructionLimit);
  runtime.resetInstructionCount();
  error = {};
  EXPECT_EQ(runtime.executeStatements(std::span<const APMPRuntimeValue>(&one, 1), &error).numberValue(), 1);
  EXPECT_TRUE(error.empty());
}

TEST(APMPRuntimeTests, ProgramsCannotReachTheInstructionCounter) {
  // The counter's old name is just a name: assigning it is an undeclared assignment, and a
  // program that declares and keeps resetting it still runs into the limit.
  EXPECT_EQ(run("(3 \"runtime.counter\" 0)").code(), kAPMPErrorUndeclaredAssignment);
  auto result = run("(41 \"runtime.counter\") (42 true (3 \"runtime.counter\" 0) false (46 (3 \"runtime.counter\" -1e9)))");
  EXPECT_EQ(result.code(), kAPMPErrorInstructionLimit);
}

// A loop calling one method on a long array: each call moves or copies every element, far more
// work than its one instruction.
std::string loopOverLongArray(const char* method) {
  return std::string("(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") \"length\" 1000000)"
                     " (42 true (44) false (46 (2 (15 \"a\") \"") + method + "\" (7))))";
}

// A text of 2^19 characters in "s".
const char* const kLongText =
    "(41 \"s\" \"t\" \"o\") (3 \"s\" \"0123456789abcdef\")"
    " (42 (23 (16 (15 \"s\") \"length\") 500000) (3 \"s\" (0 (15 \"s\") (15 \"s\"))) false (46))";

// Hostile programs end with the right error, and the same runtime runs the next event.
TEST(APMPRuntimeTests, HostileProgramsEndInOrderlyErrors) {
  struct Case { const char* name; std::string program; int code; } cases[] = {
      {"infinite loop", "(42 true (44) false (46))", kAPMPErrorInstructionLimit},
      {"infinite recursion", "(50 \"r\" (7) (r)) (r)", kAPMPErrorResourceLimit},
      {"mutual recursion with arguments", "(50 \"a\" (7 \"n\") (b (0 (15 \"n\") 1))) (50 \"b\" (7 \"n\") (a (15 \"n\"))) (a 0)",
       kAPMPErrorResourceLimit},
      {"huge index", "(43 (7) 4294967294 1)", kAPMPErrorResourceLimit},
      {"huge length", "(43 (7) \"length\" 1e9)", kAPMPErrorResourceLimit},
      {"string doubling", "(41 \"s\") (3 \"s\" \"x\") (42 true (3 \"s\" (0 (15 \"s\") (15 \"s\"))) false (46))",
       kAPMPErrorResourceLimit},
      {"allocation churn", kLongText + std::string(" (42 true (44) false (46 (3 \"t\" (0 (15 \"s\") \"y\"))))"),
       kAPMPErrorResourceLimit},
      {"copying a large text in a loop",
       kLongText + std::string(" (3 \"o\" (8)) (42 true (44) false (46 (16 (15 \"o\") (15 \"s\"))))"), kAPMPErrorResourceLimit},
      {"searching a large text in a loop",
       kLongText + std::string(" (42 true (44) false (46 (2 (15 \"s\") \"indexOf\" (7 \"z\"))))"), kAPMPErrorResourceLimit},
      {"scanning a large array in a loop", loopOverLongArray("indexOf"), kAPMPErrorResourceLimit},
      {"reversing a large array in a loop", loopOverLongArray("reverse"), kAPMPErrorResourceLimit},
      {"copying a large array in a loop", loopOverLongArray("slice"), kAPMPErrorResourceLimit},
      {"shifting a large array in a loop", loopOverLongArray("shift"), kAPMPErrorResourceLimit},
      {"concat doubling", "(41 \"a\") (3 \"a\" (7 1)) (42 true (3 \"a\" (2 (15 \"a\") \"concat\" (7 (15 \"a\")))) false (46))",
       kAPMPErrorResourceLimit},
      {"cyclic join", "(41 \"a\") (3 \"a\" (7 1)) (43 (15 \"a\") 1 (15 \"a\")) (0 (15 \"a\") \"\")", 0},
  };
  APMPRuntime runtime;
  for (const Case& c : cases) {
    runtime.resetInstructionCount();
    auto result = run(runtime, c.program);
    EXPECT_EQ(result.code(), c.code) << c.name;
    runtime.resetInstructionCount();
    auto next = run(runtime, "(0 40 2)");
    EXPECT_TRUE(next.ok()) << "after " << c.name;
    EXPECT_EQ(next.text, "42") << "after " << c.name;
  }
}

std::shared_ptr<APMPBRuntimeEntity> nested(int depth) {
  std::string source;
  for (int i = 0; i < depth; ++i) source += "(13 ";
  source += "7";
  for (int i = 0; i < depth; ++i) source += ")";
  return pixietest::parse(source).front();
}

TEST(APMPRuntimeTests, EntityNestingIsBounded) {
  platform::Error error;
  APMPRuntimeValue ok = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*nested(50), &error, 60);
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(ok.isStatement());
  APMPRuntimeValue tooDeep = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*nested(61), &error, 60);
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
  EXPECT_TRUE(tooDeep.isUndefined());
  // Evaluation of a deep but accepted tree works; a runtime with a smaller evaluation depth refuses it.
  APMPRuntime runtime;
  error = {};
  EXPECT_EQ(runtime.executeStatements(std::span<const APMPRuntimeValue>(&ok, 1), &error).numberValue(), 7);
  APMPRuntimeConfiguration shallow;
  shallow.maxEvaluationDepth = 20;
  APMPRuntime small(shallow);
  error = {};
  small.executeStatements(std::span<const APMPRuntimeValue>(&ok, 1), &error);
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
  // Through the runtime's entity entry point a tree deeper than its limit is refused, and a program
  // on the wire nested that deep does not even decode.
  auto deep = nested(250);
  error = {};
  runtime.resetInstructionCount();
  runtime.executeStatements(std::span<const apmpb_RuntimeEntity>(&deep->nano(), 1), &error);
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
  auto program = APMPBProgram::initWithMessageInfo();
  APMNanoSetRepeatedField(*program, 0, std::vector<std::shared_ptr<APMPBRuntimeEntity>>{deep});
  EXPECT_EQ(APMPBProgram::fromBuffer(program->protoBuffer()), nullptr);
}

TEST(APMPRuntimeTests, EntityConversionErrors) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  platform::Error error;
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, &error);
  EXPECT_EQ(error.code, kAPMPErrorUnknownEntityType);
  APMNanoSetInt32(*entity, 0, 4);
  error = {};
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, &error);
  EXPECT_EQ(error.code, kAPMPErrorMissingFunctionName);
  // Literals without their value field.
  error = {};
  auto number = APMPBRuntimeEntity::initWithMessageInfo();
  APMNanoSetInt32(*number, 0, 2);
  EXPECT_TRUE(std::isnan(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*number, &error).numberValue()));
  auto text = APMPBRuntimeEntity::initWithMessageInfo();
  APMNanoSetInt32(*text, 0, 1);
  EXPECT_EQ(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*text, &error).text(), "");
  // A failing entity ends a top-level run; an error in the middle stops later statements.
  APMPRuntime runtime;
  auto result = run(runtime, "(41 \"x\") (3 \"x\" 1) (3 \"undeclared\" 2) (3 \"x\" 3)");
  EXPECT_EQ(result.code(), kAPMPErrorUndeclaredAssignment);
  EXPECT_EQ(runtime.globalScope().valueForName("x").numberValue(), 1);
}

TEST(APMPRuntimeTests, ScopesAndRunScopes) {
  APMPRuntime runtime;
  ASSERT_TRUE(run(runtime, "(41 \"shared\") (3 \"shared\" 1)").ok());
  APMPRef<APMPScope> second = runtime.getRunScope();
  EXPECT_EQ(second->valueForName("shared").numberValue(), 1);
  // Assignment from a run scope reaches the global binding; an unknown name stays local.
  second->setValue("shared", APMPRuntimeValue::number(5));
  second->setValue("fresh", APMPRuntimeValue::number(6));
  EXPECT_EQ(runtime.globalScope().valueForName("shared").numberValue(), 5);
  EXPECT_FALSE(runtime.globalScope().hasName("fresh"));
  // Immutable scopes ignore writes, including assignments passing through them.
  APMPRef<APMPScope> inner = second->createChildScope();
  second->makeImmutable();
  inner->setValue("shared", APMPRuntimeValue::number(9));
  second->addValue("other", APMPRuntimeValue::number(1));
  EXPECT_EQ(runtime.globalScope().valueForName("shared").numberValue(), 5);
  EXPECT_FALSE(second->hasName("other"));
}

// Runtimes share nothing mutable: several on their own threads give the results each would alone.
TEST(APMPRuntimeTests, IndependentRuntimesOnSeparateThreads) {
  const char* program =
      "(50 \"fib\" (7 \"n\") (22 (23 (15 \"n\") 2) (46 (36 (15 \"n\")))"
      "  (46 (36 (0 (fib (37 (15 \"n\") 1)) (fib (37 (15 \"n\") 2)))))))"
      "(41 \"parts\" \"i\") (3 \"parts\" (7)) (3 \"i\" 0)"
      "(42 (23 (15 \"i\") 20) (3 \"i\" (0 (15 \"i\") 1)) false"
      "  (46 (43 (15 \"parts\") (15 \"i\") (7 (15 \"parts\") (4)))))"
      "(7 (fib 15) (16 (15 \"parts\") \"length\"))";
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        APMPRuntime runtime;
        auto result = run(runtime, program);
        runtime.collectGarbage();
        results[t] += result.ok() ? result.text : "error " + std::to_string(result.code());
        results[t] += ";";
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const std::string& r : results) EXPECT_EQ(r, "610,20;610,20;610,20;610,20;610,20;");
}

// Past a few names a property map switches to its indexed form, which must keep order and lookups.
TEST(APMPRuntimeTests, PropertyMapWithManyNames) {
  APMPPropertyMap big;
  for (int i = 0; i < 100; ++i) big.setValue("k" + std::to_string(i), APMPRuntimeValue::number(i));
  big.removeValueForName("k50");
  EXPECT_EQ(big.count(), 99u);
  EXPECT_EQ(big.valueForName("k99").numberValue(), 99);
  EXPECT_FALSE(big.hasName("k50"));
  EXPECT_EQ(big.allNames()[50], "k51");
}

}  // namespace
