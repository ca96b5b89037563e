#include "APMPStatementValue.h"

#include "APMPCommandEvaluator.h"

APMPStatementValue::APMPStatementValue(std::string functionName, APMPValueList arguments)
    : functionName_(std::move(functionName)),
      arguments_(std::move(arguments)),
      handler_(APMPCommandRegistrar::sharedInstance().handlerForName(functionName_)) {}

APMPRuntimeValue APMPStatementValue::make(std::string functionName, APMPValueList arguments) {
  return APMPRuntimeValue::object(APMPValueKind::Statement,
                                  new APMPStatementValue(std::move(functionName), std::move(arguments)));
}
