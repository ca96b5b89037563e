#pragma once
// A statement: an opcode (or function name) with its unevaluated arguments. Statements come from
// program conversion and never change; the command that serves the name is resolved once, here.

#include <string>

#include "APMPRuntimeValue.h"

class APMPStatementValue;
using APMPCommandHandler = APMPRuntimeValue (*)(const APMPStatementValue& statement, APMPScope& scope,
                                                platform::Error* error);

class APMPStatementValue final : public APMPObject {
 public:
  APMPStatementValue(std::string functionName, APMPValueList arguments);
  static APMPRuntimeValue make(std::string functionName, APMPValueList arguments);

  const std::string& functionName() const { return functionName_; }
  const APMPValueList& arguments() const { return arguments_; }
  APMPCommandHandler handler() const { return handler_; }

 private:
  std::string functionName_;
  APMPValueList arguments_;
  APMPCommandHandler handler_;
};

inline APMPStatementValue* APMPRuntimeValue::asStatement() const {
  return isStatement() ? static_cast<APMPStatementValue*>(obj()) : nullptr;
}
