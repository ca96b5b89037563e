#include "PixieTestSupport.h"

#include <gtest/gtest.h>

#include "APMNanoAccessors.h"

#include <cctype>
#include <cstdlib>

namespace pixietest {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view source) : s_(source) {}

  std::vector<std::shared_ptr<APMPBRuntimeEntity>> program() {
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> out;
    while (skip() < s_.size()) out.push_back(entity());
    return out;
  }

 private:
  size_t skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    return pos_;
  }
  std::string token() {
    size_t start = pos_;
    while (pos_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[pos_])) && s_[pos_] != '(' &&
           s_[pos_] != ')')
      ++pos_;
    if (start == pos_) ADD_FAILURE() << "syntax error at " << pos_ << " in " << s_;
    return std::string(s_.substr(start, pos_ - start));
  }
  std::shared_ptr<APMPBRuntimeEntity> entity() {
    auto e = APMPBRuntimeEntity::initWithMessageInfo();
    if (skip() >= s_.size()) {
      ADD_FAILURE() << "unexpected end of " << s_;
    } else if (s_[pos_] == '(') {  // a statement
      ++pos_;
      skip();
      APMNanoSetInt32(*e, 0, 4);
      APMNanoSetString(*e, 2, token());
      std::vector<std::shared_ptr<APMPBRuntimeEntity>> args;
      while (skip() < s_.size() && s_[pos_] != ')') args.push_back(entity());
      ++pos_;
      APMNanoSetRepeatedField(*e, 1, args);
    } else if (s_[pos_] == '"') {  // a string; a backslash takes the next character as it is
      std::string text;
      for (++pos_; pos_ < s_.size() && s_[pos_] != '"'; ++pos_) {
        if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) ++pos_;
        text.push_back(s_[pos_]);
      }
      ++pos_;
      APMNanoSetInt32(*e, 0, 1);
      APMNanoSetString(*e, 3, text);
    } else if (std::string t = token(); t == "true" || t == "false") {
      APMNanoSetInt32(*e, 0, 3);
      APMNanoSetBool(*e, 4, t == "true");
    } else {  // a number; strtod also reads NaN, Infinity and -Infinity
      char* end = nullptr;
      double number = std::strtod(t.c_str(), &end);
      if (!end || *end) ADD_FAILURE() << "bad literal " << t;
      APMNanoSetInt32(*e, 0, 2);
      APMNanoSetDouble(*e, 5, number);
    }
    return e;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

platform::Data encodeProgram(std::string_view source) {
  auto program = APMPBProgram::initWithMessageInfo();
  APMNanoSetRepeatedField(*program, 0, Parser(source).program());
  return program->protoBuffer();
}

// Decodes the encoded program and, when it decodes, lets `execute` evaluate its instructions;
// the result's text is the value's string form.
template <class Execute>
RunResult decodeAndRun(std::string_view source, Execute execute) {
  RunResult result;
  auto decoded = APMPBProgram::fromBuffer(encodeProgram(source));
  if (!decoded) {
    ADD_FAILURE() << "program did not decode";
    return result;
  }
  result.value = execute(decoded->nano(), result.error);
  platform::Error e;
  result.text = result.value.stringValueOrError(&e);
  if (!e.empty()) result.text = "<no string form>";
  return result;
}

}  // namespace

std::vector<std::shared_ptr<APMPBRuntimeEntity>> parse(std::string_view source) { return Parser(source).program(); }

RunResult run(APMPRuntime& runtime, std::string_view source) {
  return decodeAndRun(source, [&](const apmpb_Program& program, platform::Error& error) {
    return runtime.executeStatements(
        std::span<const apmpb_RuntimeEntity>(program.instructions, program.instructions_count), &error);
  });
}

RunResult runInScope(APMPRuntime& runtime, APMPScope& scope, std::string_view source) {
  return decodeAndRun(source, [&](const apmpb_Program& program, platform::Error& error) {
    return runtime.guarded(&error, [&] {
      APMPRuntimeValue last;
      for (pb_size_t i = 0; i < program.instructions_count && error.empty(); ++i) {
        APMPRuntimeValue statement =
            APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(program.instructions[i], &error);
        if (!error.empty()) return APMPRuntimeValue();
        last = APMPEvaluator::evaluateStatement(statement, scope, &error);
      }
      return last;
    });
  });
}

RunResult run(std::string_view source) {
  APMPRuntime runtime;
  return run(runtime, source);
}

void expectResults(const std::vector<ResultCase>& cases) {
  for (const ResultCase& c : cases) {
    auto result = run(c.program);
    EXPECT_TRUE(result.ok()) << c.program << " failed with " << result.code();
    EXPECT_EQ(result.text, c.expected) << c.program;
  }
}

void expectErrors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    auto result = run(c.program);
    EXPECT_EQ(result.code(), c.code) << c.program;
    EXPECT_EQ(result.error.domain, kAPMPErrorDomain) << c.program;
    EXPECT_TRUE(result.value.isUndefined()) << c.program;
  }
}

}  // namespace pixietest
