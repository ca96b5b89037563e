// The opcode commands, run as programs through the wire format.

#include <gtest/gtest.h>

#include "PixieTestSupport.h"

using pixietest::expectErrors;
using pixietest::expectResults;
using pixietest::run;

namespace {

TEST(APMPCommandTests, MathAndLogic) {
  expectResults({
      {"(0 1 2)", "3"}, {"(0 \"1\" 2)", "12"}, {"(0 1 (44))", "NaN"}, {"(0 (7 1 2) 3)", "1,23"},
      {"(10 0 0)", "NaN"}, {"(25 -7 2)", "-1"}, {"(37 \"5\" 2)", "3"}, {"(26 \"3\" \"4\")", "12"},
      {"(27 \"2\")", "-2"}, {"(32 1 2)", "1"}, {"(35 7)", "7"}, {"(1 0 (99 (2 (44) \"x\" (7))))", "0"},
      {"(30 \"\" \"x\")", "x"}, {"(30 \"a\" (2 (44) \"x\" (7)))", "a"}, {"(1 1 \"second\")", "second"},
      {"(28 \"0\")", "false"},
  });
}

TEST(APMPCommandTests, Bitwise) {
  expectResults({
      {"(56 4294967301 -1)", "5"}, {"(59 -4294967299 0)", "-3"}, {"(61 -1 0)", "4294967295"},
      {"(60 -8 1)", "-4"}, {"(57 1 33)", "2"}, {"(58 NaN)", "-1"}, {"(62 5 3)", "6"},
  });
}

TEST(APMPCommandTests, Variables) {
  expectResults({
      {"(41 \"x\") (3 \"x\" 5) (15 \"x\")", "5"},
      {"(41 \"x\") (3 \"x\" 1) (53 (3 \"x\" 2)) (15 \"x\")", "2"},
      {"(41 \"x\") (3 \"x\" 1) (53 (41 \"x\") (3 \"x\" 2)) (15 \"x\")", "1"},
      {"(52 \"c\" 1) (3 \"c\" 2) (15 \"c\")", "1"},
      {"(41 \"x\") (3 \"x\" 1) (41 \"x\") (15 \"x\")", "undefined"},
      {"(15 \"nope\")", "undefined"}, {"(16 \"abc\" 1)", "b"}, {"(16 \"abc\" \"length\")", "3"},
      {"(16 \"abc\" 3)", "undefined"}, {"(16 (44) \"x\")", "undefined"}, {"(43 \"abc\" 0 \"z\")", "z"},
      {"(41 \"o\") (3 \"o\" (8 1 \"a\" \"1\" \"b\")) (16 (15 \"o\") 1)", "b"},
      {"(40 (45))", "object"}, {"(40 (51 \"\" (7)))", "function"}, {"(40 (44))", "undefined"},
      {"(40 false)", "boolean"},
      {"(41 \"f\") (3 \"f\" (51 \"f\" (7))) (43 (15 \"f\") \"p\" 4) (16 (15 \"f\") \"p\")", "4"},
      // Writing past the end of an array leaves holes, which read as undefined and are no keys.
      {"(41 \"a\" \"k\") (3 \"a\" (7)) (3 \"k\" \"\") (43 (15 \"a\") 5 \"x\") (55 \"i\" (15 \"a\") (46 (3 \"k\" (15 \"i\"))))"
       " (7 (16 (15 \"a\") \"length\") (40 (16 (15 \"a\") 2)) (15 \"k\"))", "6,undefined,5"},
      {"(16 \"\xF0\x9F\x98\x80x\" \"length\")", "3"},
      // The two halves of a character read by index join again when added.
      {"(0 (16 \"\xF0\x9F\x98\x80\" 0) (16 \"\xF0\x9F\x98\x80\" 1))", "\xF0\x9F\x98\x80"},
      {"(16 (0 (16 \"\xF0\x9F\x98\x80\" 0) (16 \"\xF0\x9F\x98\x80\" 1)) \"length\")", "2"},
  });
  expectErrors({
      {"(3 \"undeclared\" 1)", kAPMPErrorUndeclaredAssignment},
      {"(43 (44) \"k\" 1)", kAPMPErrorPropertyWriteOnNothing}, {"(3 1 2)", kAPMPErrorArgumentKind},
      {"(52 \"a\")", kAPMPErrorArgumentCount}, {"(8 \"a\")", kAPMPErrorArgumentCount},
  });
}

TEST(APMPCommandTests, ControlFlow) {
  expectResults({
      {"(22 true 1 2)", "1"}, {"(22 0 1 2)", "2"}, {"(22 0 1)", "undefined"}, {"(22 1 (46 1 2 3))", "3"},
      {"(39 \"\" \"yes\" \"no\")", "no"}, {"(13 1 2 3)", "3"},
  });
  EXPECT_TRUE(APMPControlValue::isBreak(run("(22 1 (46 (4)))").value));
  auto returned = run("(36)").value;
  EXPECT_TRUE(APMPControlValue::isReturn(returned) && APMPControlValue::asReturn(returned)->data().isUndefined());
  EXPECT_TRUE(APMPControlValue::isContinue(run("(53 1 (6) 2)").value));
  // A statement list is never evaluated by itself: its statements come back unevaluated.
  EXPECT_TRUE(run("(16 (46 (3 \"undeclared\" 1)) 0)").value.isStatement());
  expectErrors({
      {"(13 1 (4))", kAPMPErrorArgumentKind}, {"(22)", kAPMPErrorArgumentCount},
      {"(5 1)", kAPMPErrorArgumentKind}, {"(9 \"x\")", kAPMPErrorArgumentKind},
      {"(2 1 2)", kAPMPErrorArgumentCount}, {"(2 1 2 (7))", kAPMPErrorArgumentKind},
      {"(2 (44) \"toString\" (7))", kAPMPErrorMethodOnNothing},
      {"(2 1 \"nope\" (7))", kAPMPErrorNoSuchMethod}, {"(2 (8 \"k\" 1) \"k\" (7))", kAPMPErrorNoSuchMethod},
      {"(51 \"f\" 1)", kAPMPErrorArgumentKind}, {"(51 (4) (7))", kAPMPErrorNoStringForm},
      {"(0 (4) 1)", kAPMPErrorNoNumberForm}, {"(0 (4) \"s\")", kAPMPErrorNoStringForm},
      {"(28 (4))", kAPMPErrorNoBooleanForm},
  });
}

TEST(APMPCommandTests, MethodCallsOnBaseValues) {
  expectResults({
      {"(2 1.5 \"toString\" (7))", "1.5"}, {"(2 true \"toString\" (7))", "true"},
      {"(2 (8) \"toString\" (7))", "[object Object]"},
      {"(41 \"o\") (3 \"o\" (8 \"f\" (51 \"\" (7 \"a\") (36 (0 (15 \"a\") 1))))) (2 (15 \"o\") \"f\" (7 41))", "42"},
      {"(41 \"f\") (3 \"f\" (51 \"fn\" (7))) (2 (15 \"f\") \"toString\" (7))", "fn"},
      // Native methods call back into functions the program defined.
      {"(2 (7 1 2 3) \"reduceRight\" (7 (51 \"\" (7 \"acc\" \"x\") (36 (37 (15 \"acc\") (15 \"x\"))))))", "0"},
      {"(2 \"price: 5\" \"replace\" (7 \"5\" (51 \"\" (7 \"s\") (36 (0 (15 \"s\") \"0\")))))", "price: 50"},
      // forEach visits the length it had before the first call: appended elements are not visited,
      // removed ones are not either.
      {"(41 \"a\" \"n\") (3 \"a\" (7 1 2 3)) (3 \"n\" 0) (2 (15 \"a\") \"forEach\" (7 (51 \"\" (7)"
       " (3 \"n\" (0 (15 \"n\") 1)) (43 (15 \"a\") (16 (15 \"a\") \"length\") 0)))) (7 (15 \"n\") (15 \"a\"))",
       "3,1,2,3,0,0,0"},
      {"(41 \"a\" \"s\") (3 \"a\" (7 1 2 3 4)) (3 \"s\" \"\") (2 (15 \"a\") \"forEach\" (7 (51 \"\" (7 \"v\")"
       " (3 \"s\" (0 (15 \"s\") (15 \"v\"))) (2 (15 \"a\") \"pop\" (7))))) (15 \"s\")", "12"},
      // A replace function gets the match, its position and the whole text; only the first match is replaced.
      {"(2 \"abcbc\" \"replace\" (7 \"bc\" (51 \"\" (7 \"m\" \"p\" \"s\")"
       " (36 (7 (15 \"m\") (40 (15 \"p\")) (15 \"p\") (15 \"s\"))))))", "abc,number,1,abcbcbc"},
  });
  // An error in a callback ends the method call.
  expectErrors({{"(2 \"abc\" \"replace\" (7 \"b\" (51 \"\" (7) (3 \"undeclared\" 1))))", kAPMPErrorUndeclaredAssignment}});
}

// Switch: tests list, bodies list (one more body is the default). The bodies append to "log"; the
// third one ends with a break.
TEST(APMPCommandTests, SwitchFallThroughAndDefault) {
  auto body = [](const char* op, const char* letter, const char* tail = "") {
    return std::string("(") + op + " (46 (3 \"log\" (0 (15 \"log\") \"" + letter + "\"))" + tail + "))";
  };
  auto program = [&](const std::string& discriminant) {
    return "(41 \"log\") (3 \"log\" \"\") (38 " + discriminant + " (46 1 2 3) (46 " + body("5", "a") + body("5", "b") +
           body("5", "c", " (4)") + body("9", "d") + "))";
  };
  // Falls through until the break; no match runs the default alone; "1" (a text) does not match 1.
  const std::pair<const char*, const char*> cases[] = {{"1", "abc"}, {"2", "bc"}, {"3", "c"}, {"4", "d"}, {"\"1\"", "d"}};
  for (const auto& [discriminant, log] : cases) {
    EXPECT_TRUE(run(program(discriminant)).value.isUndefined()) << discriminant;
    auto result = run(program(discriminant) + " (15 \"log\")");
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.text, log) << discriminant;
  }
  // A return inside a case ends the switch and the function.
  expectResults({{"(50 \"f\" (7 \"v\") (38 (15 \"v\") (46 1) (46 (5 (46 (36 \"one\"))))) (36 \"after\")) (7 (f 1) (f 2))",
                  "one,after"}});
  expectErrors({{"(38 1 (46))", kAPMPErrorArgumentCount}});
}

TEST(APMPCommandTests, FunctionsAndClosures) {
  expectResults({
      // Missing parameters are undefined; surplus arguments are dropped.
      {"(50 \"f\" (7 \"a\" \"b\") (36 (40 (15 \"b\")))) (f 1)", "undefined"},
      {"(50 \"f\" (7 \"a\") (36 (15 \"a\"))) (f 1 2 3)", "1"},
      // No return: the last statement's value.
      {"(50 \"f\" (7) 1 2 (0 40 2)) (f)", "42"},
      // A closure keeps reading and writing its defining function's locals after it returned.
      {"(50 \"counter\" (7) (41 \"n\") (3 \"n\" 0) (36 (51 \"\" (7) (3 \"n\" (0 (15 \"n\") 1)) (36 (15 \"n\")))))"
       "(41 \"c\") (3 \"c\" (counter)) (c) (c) (c)", "3"},
      // Two closures of the same call share one binding; separate calls do not.
      {"(50 \"pair\" (7) (41 \"n\") (3 \"n\" 0)"
       "  (36 (8 \"inc\" (51 \"\" (7) (3 \"n\" (0 (15 \"n\") 1))) \"get\" (51 \"\" (7) (36 (15 \"n\"))))))"
       "(41 \"p\" \"q\") (3 \"p\" (pair)) (3 \"q\" (pair))"
       "(2 (15 \"p\") \"inc\" (7)) (2 (15 \"p\") \"inc\" (7)) (2 (15 \"q\") \"inc\" (7))"
       "(7 (2 (15 \"p\") \"get\" (7)) (2 (15 \"q\") \"get\" (7)))", "2,1"},
      // Calling a name that holds no function is silent.
      {"(nothingHere 1 2)", "undefined"}, {"(41 \"notFn\") (3 \"notFn\" 3) (notFn)", "undefined"},
      // Lexical scoping: the callee does not see the caller's locals.
      {"(50 \"peek\" (7) (36 (40 (15 \"local\")))) (50 \"caller\" (7) (41 \"local\") (3 \"local\" 1) (36 (peek))) (caller)",
       "undefined"},
  });
}

TEST(APMPCommandTests, ConditionLoop) {
  expectResults({
      // while (i < 5) i = i + 1
      {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 5) (44) false (46 (3 \"i\" (0 (15 \"i\") 1)))) (15 \"i\")", "5"},
      // for (; i < 5; i++) with the step doing the count
      {"(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) (42 (23 (15 \"i\") 5) (3 \"i\" (0 (15 \"i\") 1)) false"
       " (46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")", "10"},
      // do-first with a false condition: the body once, the step never
      {"(41 \"n\" \"step\") (3 \"n\" 0) (3 \"step\" 0) (42 false (3 \"step\" 1) true (46 (3 \"n\" (0 (15 \"n\") 1))))"
       " (7 (15 \"n\") (15 \"step\"))", "1,0"},
      // continue still runs the step; break ends the loop
      {"(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" \"\") (42 true (3 \"i\" (0 (15 \"i\") 1)) false"
       " (46 (22 (20 (15 \"i\") 5) (46 (4))) (22 (20 (25 (15 \"i\") 2) 0) (46 (6))) (3 \"s\" (0 (15 \"s\") (15 \"i\")))))"
       " (15 \"s\")", "13"},
      // a return inside the loop ends the function
      {"(50 \"f\" (7) (42 true (44) false (46 (36 \"out\"))) (36 \"never\")) (f)", "out"},
  });
  expectErrors({{"(42 false 1 false 5)", kAPMPErrorArgumentKind}});
}

TEST(APMPCommandTests, CountedLoopGivesEachIterationItsOwnBinding) {
  // let fns = []; for (let i = 0; i < 3; i++) fns.push({get: () => i}); the closures see 0, 1, 2
  // and the outer i, which only started the loop's copy, stays 0.
  const char* viaHelper =
      "(41 \"fns\" \"i\" \"out\") (3 \"fns\" (7)) (3 \"i\" 0) (3 \"out\" \"\")"
      "(63 (7 \"i\") (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1))"
      "  (46 (43 (15 \"fns\") (16 (15 \"fns\") \"length\") (8 \"get\" (51 \"\" (7) (36 (15 \"i\")))))))"
      "(65 \"o\" (15 \"fns\") (46 (3 \"out\" (0 (15 \"out\") (2 (15 \"o\") \"get\" (7))))))"
      "(7 (15 \"out\") (15 \"i\"))";
  auto closures = run(viaHelper);
  ASSERT_TRUE(closures.ok()) << closures.code();
  EXPECT_EQ(closures.text, "012,0");
  expectErrors({
      {"(63 1 false 3 (46))", kAPMPErrorArgumentKind}, {"(63 (7) false 3 4)", kAPMPErrorArgumentKind},
  });
}

TEST(APMPCommandTests, KeyAndValueLoops) {
  expectResults({
      {"(41 \"k\" \"s\") (3 \"s\" \"\") (47 \"k\" \"ab\" (46 (3 \"s\" (0 (15 \"s\") (15 \"k\"))))) (15 \"s\")", "01"},
      {"(41 \"s\" \"a\") (3 \"s\" \"\") (3 \"a\" (7 \"x\" \"y\")) (43 (15 \"a\") \"5\" \"z\") (43 (15 \"a\") \"name\" 1)"
       " (55 \"k\" (15 \"a\") (46 (3 \"s\" (0 (15 \"s\") (0 (15 \"k\") \";\"))))) (15 \"s\")", "name;0;1;5;"},
      {"(41 \"s\") (3 \"s\" \"\") (54 \"k\" (8 \"p\" 1 \"q\" 2) (46 (3 \"s\" (0 (15 \"s\") (15 \"k\"))))) (15 \"s\")", "pq"},
      // for-of over a text gives its UTF-16 units; over an array its elements, holes as undefined.
      {"(41 \"s\") (3 \"s\" \"\") (66 \"c\" \"hey\" (46 (3 \"s\" (0 (15 \"c\") (15 \"s\"))))) (15 \"s\")", "yeh"},
      // Appending during for-of visits only what was there at the start.
      {"(41 \"n\" \"a\") (3 \"n\" 0) (3 \"a\" (7 1 2))"
       " (66 \"v\" (15 \"a\") (46 (43 (15 \"a\") (16 (15 \"a\") \"length\") 9) (3 \"n\" (0 (15 \"n\") 1))))"
       " (7 (15 \"n\") (16 (15 \"a\") \"length\"))", "2,4"},
      // break ends the loop with undefined; return ends the function.
      {"(50 \"f\" (7) (66 \"v\" (7 1 2 3) (46 (22 (20 (15 \"v\") 2) (46 (36 (26 (15 \"v\") 10)))))) (36 0)) (f)", "20"},
      // A constant binding cannot be reassigned inside the body.
      {"(41 \"s\") (3 \"s\" \"\") (65 \"v\" (7 1 2) (46 (3 \"v\" 9) (3 \"s\" (0 (15 \"s\") (15 \"v\"))))) (15 \"s\")", "12"},
      // A variable binding can.
      {"(41 \"s\") (3 \"s\" \"\") (66 \"v\" (7 1 2) (46 (3 \"v\" 9) (3 \"s\" (0 (15 \"s\") (15 \"v\"))))) (15 \"s\")", "99"},
  });
  expectErrors({{"(64 \"v\" 5 (46))", kAPMPErrorNotIterable}, {"(65 \"v\" (8) (46))", kAPMPErrorNotIterable}});
}

}  // namespace
