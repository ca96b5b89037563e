#pragma once
// Statement evaluation: one value at a time, counted against the runtime's instruction limit and
// bounded in nesting depth.

#include <span>
#include <vector>

#include "APMPRuntime.h"
#include "APMPRuntimeValue.h"
#include "APMPScope.h"
#include "APMPStatementValue.h"

class APMPEvaluator {
 public:
  // Counts one instruction; a statement runs through its command, any other value is returned.
  static APMPRuntimeValue evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope,
                                            platform::Error* error) {
    APMPRuntime& runtime = *scope.runtime();
    if (!runtime.countInstruction(error)) return {};
    const APMPStatementValue* statement = value.asStatement();
    if (!statement) return value;
    if (!runtime.enterNesting(error)) return {};
    APMPRuntimeValue result = statement->handler()(*statement, scope, error);
    runtime.leaveNesting();
    return result;
  }
  // Runs the statements in order in the one scope; stops at the first error (undefined) or control
  // value (returned); else the last value, undefined for none.
  static APMPRuntimeValue executeStatements(std::span<const APMPRuntimeValue> statements, APMPScope& scope,
                                            platform::Error* error);
};

// Counts one evaluation against the scope's runtime; false with kAPMPErrorInstructionLimit at the
// limit.
inline bool APMPCountInstruction(APMPScope& scope, platform::Error* error) {
  return scope.runtime()->countInstruction(error);
}

// Evaluated arguments: a small inline buffer so that commands allocate nothing in the usual case.
class APMPArguments {
 public:
  static constexpr size_t kInline = 4;
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const APMPRuntimeValue& operator[](size_t i) const { return data()[i]; }
  std::span<const APMPRuntimeValue> span() const { return {data(), size_}; }
  void push_back(APMPRuntimeValue value);

 private:
  const APMPRuntimeValue* data() const { return size_ <= kInline && overflow_.empty() ? inline_ : overflow_.data(); }
  APMPRuntimeValue inline_[kInline];
  std::vector<APMPRuntimeValue> overflow_;
  size_t size_ = 0;
};

// Evaluates each argument in order in the scope; false after the first error.
bool APMPEvaluateArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                           APMPArguments& results, platform::Error* error);
// Argument-count checks; false with kAPMPErrorArgumentCount.
bool APMPCheckArgumentCount(size_t count, size_t expected, platform::Error* error);
bool APMPCheckMinimumArgumentCount(size_t count, size_t minimum, platform::Error* error);
bool APMPCheckMaximumArgumentCount(size_t count, size_t maximum, platform::Error* error);
// Runs the elements of a statement-list value (an array) in the scope.
APMPRuntimeValue APMPExecuteStatementList(const APMPRuntimeValue& list, APMPScope& scope,
                                          platform::Error* error);
