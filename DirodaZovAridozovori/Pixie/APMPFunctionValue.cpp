#include "APMPFunctionValue.h"

#include "APMPControlValue.h"
#include "APMPEvaluator.h"

APMPFunctionValue::APMPFunctionValue(std::string functionName, std::vector<std::string> parameters,
                                     APMPValueList statements, APMPRef<APMPScope> definingScope)
    : functionName_(std::move(functionName)),
      parameters_(std::move(parameters)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

APMPValueList APMPFunctionValue::allPropertyNames() const {
  APMPValueList names;
  for (std::string& name : propertyMap_.allNames()) names.push_back(APMPRuntimeValue::string(std::move(name)));
  return names;
}

APMPRuntimeValue APMPFunctionValue::invokeWithArguments(std::span<const APMPRuntimeValue> arguments,
                                                        APMPScope& callerScope, platform::Error* error) {
  APMPArguments evaluated;
  if (!APMPEvaluateArguments(arguments, callerScope, evaluated, error)) return {};
  return invokeWithEvaluatedArguments(evaluated.span(), callerScope, error);
}

APMPRuntimeValue APMPFunctionValue::invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments,
                                                                 APMPScope& callerScope, platform::Error* error) {
  if (!definingScope_) return {};  // swept
  // The body may drop the last other reference to this function (say, by reassigning its name).
  APMPRef<APMPFunctionValue> keep(this);
  APMPRef<APMPScope> scope = definingScope_->createChildScope();
  for (size_t i = 0; i < parameters_.size(); ++i)
    scope->addValue(parameters_[i], i < arguments.size() ? arguments[i] : APMPRuntimeValue());
  APMPRuntimeValue result = APMPEvaluator::executeStatements(statements_, *scope, error);
  if (!APMPFailed(error) && APMPControlValue::isReturn(result)) return APMPControlValue::asReturn(result)->data();
  return result;
}

void APMPFunctionValue::markChildren(APMPMarker& marker) {
  propertyMap_.markValues(marker);
  for (const APMPRuntimeValue& statement : statements_) marker.mark(statement);
  if (definingScope_) marker.markObject(definingScope_.get());
}

void APMPFunctionValue::sweep() {
  swept_ = true;
  APMPValueList statements;
  statements.swap(statements_);
  APMPRef<APMPScope> scope;
  scope.swap(definingScope_);
  propertyMap_.clear();
}
