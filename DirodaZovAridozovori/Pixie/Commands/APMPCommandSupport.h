#pragma once
// Helpers shared by the command evaluators.

#include "APMPArrayValue.h"
#include "APMPCommandEvaluator.h"
#include "APMPEvaluator.h"
#include "APMPFunctionValue.h"
#include "APMPMapValue.h"
#include "APMPObjectManager.h"
#include "APMPScope.h"

namespace apmp_commands {

using Error = platform::Error;
using Value = APMPRuntimeValue;
using EvaluatedHandler = Value (*)(const APMPArguments& arguments, APMPScope& scope, Error* error);

// Evaluating dispatch style: every argument is evaluated in order before the handler runs.
template <EvaluatedHandler handler>
Value evaluated(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  APMPArguments arguments;
  if (!APMPEvaluateArguments(statement.arguments(), scope, arguments, error)) return {};
  return handler(arguments, scope, error);
}

inline bool isStatementList(const Value& value) {
  const APMPStatementValue* statement = value.asStatement();
  return statement && statement->functionName() == "46";
}

// Evaluates a body argument that must yield a statement list and hands back its statements. A
// literal list statement is read directly (counted as the one evaluation it is) instead of being
// built as an array first. False with kAPMPErrorArgumentKind when the body is no list.
inline bool statementsOf(const Value& argument, APMPScope& scope, APMPValueList& statements, Error* error) {
  if (isStatementList(argument)) {
    if (!scope.runtime()->countInstruction(error)) return false;
    statements = argument.asStatement()->arguments();
    return true;
  }
  Value body = APMPEvaluator::evaluateStatement(argument, scope, error);
  if (APMPFailed(error)) return false;
  APMPArrayValue* array = body.asArray();
  if (!array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return false;
  }
  statements = array->allElements();
  return true;
}

// Evaluates a branch: a statement list runs in the scope (its result may be a control value);
// any other value is the result.
inline Value runBranch(const Value& argument, APMPScope& scope, Error* error) {
  if (isStatementList(argument)) {
    if (!scope.runtime()->countInstruction(error)) return {};
    return APMPEvaluator::executeStatements(argument.asStatement()->arguments(), scope, error);
  }
  Value branch = APMPEvaluator::evaluateStatement(argument, scope, error);
  if (APMPFailed(error)) return {};
  if (branch.isArray()) return APMPExecuteStatementList(branch, scope, error);
  return branch;
}

inline Value fail(Error* error, int code) {
  APMPSetError(error, code);
  return {};
}

inline bool truth(const Value& argument, APMPScope& scope, Error* error) {
  Value value = APMPEvaluator::evaluateStatement(argument, scope, error);
  if (APMPFailed(error)) return false;
  return value.booleanValueOrError(error);
}

}  // namespace apmp_commands
