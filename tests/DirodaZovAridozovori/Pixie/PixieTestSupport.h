#pragma once
// Programs for the interpreter tests, written as S-expressions and turned into real entity trees:
//   (NAME arg...)  a statement: NAME is an opcode ("22") or a function name (f)
//   12, -2.5, NaN  number literals;  "text"  string literals;  true, false  boolean literals
// A program is a sequence of top-level statements. Every run goes through the wire format:
// the tree is encoded as a Program message, decoded, converted and evaluated.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "APMPixie.h"

namespace pixietest {

// Parses a program into its top-level entities (fails the test on a syntax error).
std::vector<std::shared_ptr<APMPBRuntimeEntity>> parse(std::string_view source);

struct RunResult {
  APMPRuntimeValue value;
  platform::Error error;
  bool ok() const { return error.empty(); }
  int code() const { return static_cast<int>(error.code); }
  // The value's string form when the run ended ("<no string form>" when it has none).
  std::string text;
};

// Encodes, decodes and runs the program in the runtime's global scope.
RunResult run(APMPRuntime& runtime, std::string_view source);
// Runs the program's statements in the given scope (as a host runs an event in a run scope).
RunResult runInScope(APMPRuntime& runtime, APMPScope& scope, std::string_view source);
// The same in a fresh runtime.
RunResult run(std::string_view source);

// Tables of programs, each run in a fresh runtime: the run succeeds with this string form...
struct ResultCase {
  const char* program;
  const char* expected;
};
void expectResults(const std::vector<ResultCase>& cases);
// ...or fails with this interpreter error code and an undefined value.
struct ErrorCase {
  const char* program;
  int code;
};
void expectErrors(const std::vector<ErrorCase>& cases);

}  // namespace pixietest
