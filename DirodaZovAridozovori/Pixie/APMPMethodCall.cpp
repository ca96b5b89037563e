#include "APMPMethodCall.h"

#include "APMPArrayValue.h"
#include "APMPEvaluator.h"
#include "APMPFunctionValue.h"
#include "APMPMapValue.h"
#include "APMPRuntime.h"

APMPRuntimeValue APMPApplyBaseMethod(const APMPRuntimeValue& value, std::string_view name, platform::Error* error) {
  if (name != "toString") {
    APMPSetError(error, kAPMPErrorNoSuchMethod);
    return {};
  }
  std::string text = value.stringValueOrError(error);
  if (APMPFailed(error)) return {};
  return APMPMakeString(std::move(text), error);
}

APMPRuntimeValue APMPApplyPropertyMethod(APMPPropertyMap& properties, std::string_view name,
                                         std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                         platform::Error* error) {
  if (const APMPRuntimeValue* property = properties.find(APMPPropertyMap::keyFor(name))) {
    APMPFunctionValue* function = property->asFunction();
    if (!function) {
      APMPSetError(error, kAPMPErrorNoSuchMethod);
      return {};
    }
    APMPRuntimeValue keepAlive = *property;
    return function->invokeWithArguments(arguments, scope, error);
  }
  if (name == "hasOwnProperty") {
    APMPArguments evaluated;
    if (!APMPEvaluateArguments(arguments, scope, evaluated, error)) return {};
    if (!APMPCheckArgumentCount(evaluated.size(), 1, error)) return {};
    std::string key = evaluated[0].stringValueOrError(error);
    if (APMPFailed(error)) return {};
    return APMPRuntimeValue::boolean(properties.hasName(key));
  }
  return {};  // the caller falls back to the base rules
}

APMPRuntimeValue APMPRuntimeValue::applyWithName(std::string_view name,
                                                 std::span<const APMPRuntimeValue> arguments,
                                                 APMPScope& scope, platform::Error* error) const {
  const APMPRuntimeValue& receiver = *this;
  switch (receiver.kind()) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null:
      APMPSetError(error, kAPMPErrorMethodOnNothing);
      return {};
    case APMPValueKind::String: {
      APMPStringMethodHook hook = scope.runtime()->methodTables().stringMethods;
      if (!hook) {
        APMPSetError(error, kAPMPErrorNoSuchMethod);
        return {};
      }
      APMPRuntimeValue keepAlive = receiver;
      return hook(*receiver.asString(), name, arguments, scope, error);
    }
    case APMPValueKind::Array: {
      APMPRuntimeValue keepAlive = receiver;
      APMPArrayValue* array = receiver.asArray();
      if (array->propertyMap().hasName(name)) return APMPApplyPropertyMethod(array->propertyMap(), name, arguments, scope, error);
      APMPArrayMethodHook hook = scope.runtime()->methodTables().arrayMethods;
      if (!hook) {
        APMPSetError(error, kAPMPErrorNoSuchMethod);
        return {};
      }
      return hook(*array, name, arguments, scope, error);
    }
    case APMPValueKind::Map: {
      APMPRuntimeValue keepAlive = receiver;
      return receiver.asMap()->applyWithName(name, arguments, scope, error);
    }
    case APMPValueKind::Function: {
      APMPRuntimeValue keepAlive = receiver;
      APMPFunctionValue* function = receiver.asFunction();
      if (function->propertyMap().hasName(name) || name == "hasOwnProperty")
        return APMPApplyPropertyMethod(function->propertyMap(), name, arguments, scope, error);
      return APMPApplyBaseMethod(receiver, name, error);
    }
    default: return APMPApplyBaseMethod(receiver, name, error);
  }
}
