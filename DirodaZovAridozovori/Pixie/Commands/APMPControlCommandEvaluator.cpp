#include "APMPCommandSupport.h"
#include "APMPControlValue.h"
#include "APMPMethodCall.h"
#include "APMPValueComparison.h"

using namespace apmp_commands;

namespace {

Value methodCall(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  if (!APMPCheckArgumentCount(statement.arguments().size(), 3, error)) return {};
  APMPArguments args;
  if (!APMPEvaluateArguments(statement.arguments(), scope, args, error)) return {};
  APMPArrayValue* list = args[2].asArray();
  if (!args[1].isString() || !list) return fail(error, kAPMPErrorArgumentKind);
  if (!APMPChargeWork(list->count(), error)) return {};
  APMPValueList arguments = list->allElements();
  Value receiver = args[0];
  return receiver.applyWithName(args[1].text(), arguments, scope, error);
}

Value block(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  APMPRef<APMPScope> child = scope.createChildScope();
  return APMPEvaluator::executeStatements(statement.arguments(), *child, error);
}

Value breakCommand(const APMPStatementValue& statement, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(statement.arguments().size(), 0, error)) return {};
  return APMPControlValue::breakValue();
}

Value continueCommand(const APMPStatementValue& statement, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(statement.arguments().size(), 0, error)) return {};
  return APMPControlValue::continueValue();
}

Value caseClause(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  if (!APMPCheckArgumentCount(statement.arguments().size(), 1, error)) return {};
  APMPValueList statements;
  if (!statementsOf(statement.arguments()[0], scope, statements, error)) return {};
  return APMPEvaluator::executeStatements(statements, scope, error);
}

Value sequence(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  if (!APMPCheckMinimumArgumentCount(statement.arguments().size(), 1, error)) return {};
  APMPArguments args;
  if (!APMPEvaluateArguments(statement.arguments(), scope, args, error)) return {};
  for (const Value& value : args.span())
    if (APMPControlValue::isControl(value)) return fail(error, kAPMPErrorArgumentKind);
  return args[args.size() - 1];
}

Value makeFunction(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckMinimumArgumentCount(args.size(), 2, error)) return {};
  std::string name = args[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  Error listError;
  Value list = APMPEvaluator::evaluateStatement(args[1], scope, &listError);
  APMPArrayValue* parameters = list.asArray();
  if (APMPFailed(&listError) || !parameters) {
    // An instruction-limit or depth failure stays what it is; anything else is a bad list.
    if (listError.code == kAPMPErrorInstructionLimit || listError.code == kAPMPErrorResourceLimit) {
      *error = std::move(listError);
      return {};
    }
    return fail(error, kAPMPErrorArgumentKind);
  }
  std::vector<std::string> names;
  for (const Value& element : parameters->allElements()) {
    names.push_back(element.stringValueOrError(error));
    if (APMPFailed(error)) return {};
  }
  APMPValueList body(args.begin() + 2, args.end());
  return APMPObjectManager::functionValueWithFunctionName(std::move(name), std::move(names), std::move(body),
                                                          APMPRef<APMPScope>(&scope));
}

Value functionDeclaration(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  Value function = makeFunction(statement, scope, error);
  if (APMPFailed(error)) return {};
  scope.setValue(function.asFunction()->functionName(), function);
  return function;
}

Value ifCommand(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (args.empty() || args.size() > 3) return fail(error, kAPMPErrorArgumentCount);
  bool condition = truth(args[0], scope, error);
  if (APMPFailed(error)) return {};
  size_t branch = condition ? 1 : 2;
  if (branch >= args.size()) return {};
  return runBranch(args[branch], scope, error);
}

Value statementList(const APMPStatementValue& statement, APMPScope& scope, Error*) {
  return APMPObjectManager::arrayValueWithArray(statement.arguments(), scope);
}

Value returnCommand(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckMaximumArgumentCount(args.size(), 1, error)) return {};
  Value data;
  if (!args.empty()) {
    data = APMPEvaluator::evaluateStatement(args[0], scope, error);
    if (APMPFailed(error)) return {};
  }
  return APMPControlValue::returnValueWithData(std::move(data));
}

// What a case body's result does to the switch: stop with the result, or go on.
bool endsSwitch(const Value& result, Value& switchResult) {
  if (!APMPControlValue::isControl(result)) return false;
  switchResult = APMPControlValue::isBreak(result) ? Value() : result;
  return true;
}

Value switchCommand(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 3, error)) return {};
  APMPArguments evaluated;
  if (!APMPEvaluateArguments(args, scope, evaluated, error)) return {};
  APMPArrayValue* testList = evaluated[1].asArray();
  APMPArrayValue* bodyList = evaluated[2].asArray();
  if (!testList || !bodyList) return fail(error, kAPMPErrorArgumentCount);
  const Value& discriminant = evaluated[0];
  APMPValueList tests = testList->allElements();
  APMPValueList bodies = bodyList->allElements();
  bool matched = false;
  Value result;
  for (size_t i = 0; i < tests.size(); ++i) {
    if (!matched) {
      Value test = APMPEvaluator::evaluateStatement(tests[i], scope, error);
      if (APMPFailed(error)) return {};
      matched = APMPStrictEquals(test, discriminant);
      if (!matched) continue;
    }
    if (i >= bodies.size()) continue;
    Value body = APMPEvaluator::evaluateStatement(bodies[i], scope, error);
    if (APMPFailed(error)) return {};
    if (endsSwitch(body, result)) return result;
  }
  if (bodies.size() == tests.size() + 1) {
    Value body = APMPEvaluator::evaluateStatement(bodies.back(), scope, error);
    if (APMPFailed(error)) return {};
    if (endsSwitch(body, result)) return result;
  }
  return {};
}

Value conditional(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 3, error)) return {};
  bool condition = truth(args[0], scope, error);
  if (APMPFailed(error)) return {};
  return APMPEvaluator::evaluateStatement(args[condition ? 1 : 2], scope, error);
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator() {
  handlers_ = {
      {"2", &methodCall}, {"53", &block},          {"4", &breakCommand},
      {"5", &caseClause},            {"9", &caseClause},      {"6", &continueCommand},
      {"50", &functionDeclaration},  {"13", &sequence}, {"51", &makeFunction},
      {"22", &ifCommand},            {"46", &statementList},  {"36", &returnCommand},
      {"38", &switchCommand},        {"39", &conditional},
  };
}
