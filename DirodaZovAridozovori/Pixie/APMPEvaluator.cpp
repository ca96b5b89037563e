#include "APMPEvaluator.h"

#include "APMPArrayValue.h"
#include "APMPCommandEvaluator.h"
#include "APMPControlValue.h"
#include "APMPFunctionValue.h"

void APMPArguments::push_back(APMPRuntimeValue value) {
  if (size_ < kInline) {
    inline_[size_++] = std::move(value);
    return;
  }
  if (overflow_.empty()) {
    overflow_.reserve(kInline * 2);
    for (size_t i = 0; i < kInline; ++i) overflow_.push_back(std::move(inline_[i]));
  }
  overflow_.push_back(std::move(value));
  ++size_;
}

bool APMPEvaluateArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope, APMPArguments& results,
                           platform::Error* error) {
  for (const APMPRuntimeValue& argument : arguments) {
    results.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (APMPFailed(error)) return false;
  }
  return true;
}

bool APMPCheckArgumentCount(size_t count, size_t expected, platform::Error* error) {
  if (count == expected) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

bool APMPCheckMinimumArgumentCount(size_t count, size_t minimum, platform::Error* error) {
  if (count >= minimum) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

bool APMPCheckMaximumArgumentCount(size_t count, size_t maximum, platform::Error* error) {
  if (count <= maximum) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

APMPRuntimeValue APMPEvaluator::executeStatements(std::span<const APMPRuntimeValue> statements, APMPScope& scope,
                                                  platform::Error* error) {
  APMPRuntimeValue result;
  for (const APMPRuntimeValue& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (APMPFailed(error)) return {};
    if (APMPControlValue::isControl(result)) return result;
  }
  return result;
}

APMPRuntimeValue APMPExecuteStatementList(const APMPRuntimeValue& list, APMPScope& scope, platform::Error* error) {
  APMPArrayValue* array = list.asArray();
  if (!array) return list;
  APMPRuntimeValue keep = list;
  // The list may be changed by the statements it runs; run what it held when it started.
  APMPValueList statements = array->allElements();
  return APMPEvaluator::executeStatements(statements, scope, error);
}

// ---------------------------------------------------------------------------------------------
// Command evaluators and the registrar

APMPRuntimeValue APMPCommandEvaluator::evaluateCommand(const APMPStatementValue& statement, APMPScope& scope,
                                                       platform::Error* error) const {
  APMPCommandHandler handler = handlerForCommand(statement.functionName());
  return handler ? handler(statement, scope, error) : APMPRuntimeValue();
}

std::vector<std::string> APMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::string> commands;
  for (const auto& [opcode, handler] : handlers_) commands.push_back(opcode);
  return commands;
}

APMPCommandHandler APMPCommandEvaluator::handlerForCommand(std::string_view opcode) const {
  auto it = handlers_.find(std::string(opcode));
  return it == handlers_.end() ? nullptr : it->second;
}

APMPRuntimeValue APMPFunctionEvaluatorEvaluate(const APMPStatementValue& statement, APMPScope& scope,
                                               platform::Error* error) {
  APMPRuntimeValue callee = scope.valueForName(statement.functionName());
  APMPFunctionValue* function = callee.asFunction();
  if (!function) return {};
  return function->invokeWithArguments(statement.arguments(), scope, error);
}

const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  static const APMPCommandRegistrar* instance = new APMPCommandRegistrar();
  return *instance;
}

APMPCommandRegistrar::APMPCommandRegistrar() {
  evaluators_.push_back(std::make_unique<APMPBitwiseCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPComparisonCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPControlCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPLogicalCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPLoopCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPMathCommandEvaluator>());
  evaluators_.push_back(std::make_unique<APMPVariableCommandEvaluator>());
  for (const auto& evaluator : evaluators_) registerEvaluator(evaluator.get());
}

void APMPCommandRegistrar::registerEvaluator(const APMPCommandEvaluator* evaluator) {
  for (const std::string& opcode : evaluator->allSupportedCommands()) commandEvaluators_[opcode] = evaluator;
}

const APMPCommandEvaluator* APMPCommandRegistrar::evaluatorForOpcode(std::string_view opcode) const {
  auto it = commandEvaluators_.find(std::string(opcode));
  return it == commandEvaluators_.end() ? nullptr : it->second;
}

APMPCommandHandler APMPCommandRegistrar::handlerForName(std::string_view name) const {
  const APMPCommandEvaluator* evaluator = evaluatorForOpcode(name);
  if (!evaluator) return &APMPFunctionEvaluatorEvaluate;
  return evaluator->handlerForCommand(name);
}
