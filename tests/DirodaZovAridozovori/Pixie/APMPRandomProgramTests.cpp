// Randomly assembled programs (fixed seeds, so every run sees the same ones): whatever they do, a
// run ends with a value or a pixie error, the runtime stays usable, and collection leaves no
// tracked garbage behind. Sanitizers turn any memory or arithmetic fault into a failure.

#include <gtest/gtest.h>

#include <random>

#include "PixieTestSupport.h"

namespace {

class ProgramGenerator {
 public:
  explicit ProgramGenerator(uint32_t seed) : random_(seed) {}

  std::string program(int statements) {
    std::string out = "(41 \"a\" \"b\" \"s\") (3 \"a\" (7 1 \"x\" (8 \"k\" 2))) (3 \"s\" \"abc\")"
                      "(50 \"f\" (7 \"p\" \"q\") (36 (0 (15 \"p\") (15 \"q\"))))"
                      "(50 \"cmp\" (7 \"p\" \"q\") (36 (37 (15 \"q\") (15 \"p\"))))";
    for (int i = 0; i < statements; ++i) out += " " + expression(4);
    return out;
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  std::string literal() {
    static const char* literals[] = {"0", "1", "-1", "2.5", "NaN", "1e21", "4294967296", "-0", "Infinity",
                                     "\"\"", "\"a\"", "\"length\"", "\"0\"", "\"abc\"", "\"x,y\"", "true",
                                     "false", "\"\\xF0\\x9F\\x98\\x80\"", "(44)", "(45)"};
    return literals[pick(std::size(literals))];
  }

  std::string name() {
    static const char* names[] = {"\"a\"", "\"b\"", "\"s\"", "\"f\"", "\"zz\""};
    return names[pick(std::size(names))];
  }

  std::string method() {
    static const char* methods[] = {"\"push\"",  "\"pop\"",   "\"shift\"",   "\"unshift\"", "\"slice\"",
                                    "\"splice\"", "\"sort\"",  "\"reverse\"", "\"join\"",    "\"indexOf\"",
                                    "\"map\"",   "\"filter\"", "\"reduce\"",  "\"concat\"",  "\"charAt\"",
                                    "\"split\"", "\"replace\"", "\"substring\"", "\"toUpperCase\"", "\"trim\"",
                                    "\"match\"", "\"search\"", "\"toString\"", "\"hasOwnProperty\"", "\"k\""};
    return methods[pick(std::size(methods))];
  }

  std::string expression(int depth) {
    if (depth == 0 || pick(4) == 0) return pick(3) == 0 ? "(15 " + name() + ")" : literal();
    static const char* opcodes[] = {"0",  "1",  "3",  "7",  "8",  "10", "12", "13", "15", "16", "17", "18",
                                    "19", "20", "21", "22", "23", "24", "25", "26", "27", "28", "29", "30",
                                    "32", "34", "36", "37", "38", "39", "40", "41", "43", "44", "45", "46",
                                    "47", "52", "53", "54", "55", "56", "57", "58", "59", "60", "61", "62",
                                    "64", "65", "66", "4",  "6",  "5",  "9",  "42", "63", "51", "50", "f"};
    std::string op = opcodes[pick(std::size(opcodes))];
    if (pick(5) == 0) {
      // A method call on a variable, a literal or a fresh value.
      std::string receiver = pick(2) ? "(15 " + name() + ")" : expression(depth - 1);
      std::string args = "(7";
      for (size_t i = pick(3); i > 0; --i) args += " " + (pick(3) == 0 ? std::string("(15 \"cmp\")") : expression(depth - 1));
      return "(2 " + receiver + " " + method() + " " + args + "))";
    }
    if (op == "42") return "(42 " + expression(depth - 1) + " " + expression(depth - 1) + " " + literal() + " (46 " +
                           expression(depth - 1) + "))";
    if (op == "63") return "(63 (7 " + name() + ") " + expression(depth - 1) + " " + expression(depth - 1) + " (46 " +
                           expression(depth - 1) + "))";
    std::string out = "(" + op;
    size_t count = pick(5);
    for (size_t i = 0; i < count; ++i) out += " " + (pick(3) == 0 ? name() : expression(depth - 1));
    return out + ")";
  }

  std::mt19937 random_;
};

TEST(APMPRandomProgramTests, RandomProgramsEndCleanly) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const std::string program = ProgramGenerator(seed).program(8);
    APMPRuntime runtime;
    const size_t baseline = runtime.objectManager().trackedObjectCount();
    {
      // The program runs in a run scope, as events do; the result may be a container, and both
      // are let go before collecting.
      APMPRef<APMPScope> scope = runtime.getRunScope();
      auto result = pixietest::runInScope(runtime, *scope, program);
      EXPECT_TRUE(result.ok() || result.error.domain == kAPMPErrorDomain) << result.error.domain << ": " << program;
    }
    // Nothing the program made outlives a collection.
    runtime.collectGarbage();
    EXPECT_EQ(runtime.objectManager().trackedObjectCount(), baseline) << "seed " << seed << ": " << program;
    // The runtime answers the next event.
    runtime.resetInstructionCount();
    auto next = pixietest::run(runtime, "(0 40 2)");
    EXPECT_EQ(next.text, "42") << "after seed " << seed << ": " << program;
  }
}

}  // namespace
