#include "APMPEventNativeFunctions.h"

#include <cmath>

#include "APMPEvaluator.h"
#include "APMPEventEditingErrors.h"
#include "APMPObjectManager.h"
#include "APMPRuntimeEntityConverter.h"

namespace {

APMPRuntimeValue getEventName(std::span<const APMPRuntimeValue> arguments, APMPScope&, APMPEventContext& context,
                              platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return APMPMakeString(context.outputEvent()->name(), error);
}

APMPRuntimeValue getParamValue(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                               APMPEventContext& context, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(context.outputEvent()->parameterForName(name), scope,
                                                              error);
}

APMPRuntimeValue getParams(std::span<const APMPRuntimeValue> arguments, APMPScope& scope, APMPEventContext& context,
                           platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Object(context.outputEvent()->parameters()),
                                                              scope, error);
}

APMPRuntimeValue getTimestamp(std::span<const APMPRuntimeValue> arguments, APMPScope&, APMPEventContext& context,
                              platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return APMPRuntimeValue::number(context.outputEvent()->timestamp());
}

APMPRuntimeValue setEventName(std::span<const APMPRuntimeValue> arguments, APMPScope&, APMPEventContext& context,
                              platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return {};
  if (arguments[0].isNothing()) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  std::string name = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  APMPRuntimeValue result = APMPMakeString(name, error);
  if (APMPFailed(error)) return {};
  context.outputEvent()->setName(std::move(name));
  return result;
}

APMPRuntimeValue setParamValue(std::span<const APMPRuntimeValue> arguments, APMPScope&, APMPEventContext& context,
                               platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 2, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  platform::Object value = APMPRuntimeEntityConverter::objectFromRuntimeValue(arguments[1], error);
  if (APMPFailed(error)) return {};
  if (!value.isNull() && !APMPIsEventParameterValue(value)) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  context.outputEvent()->setParameter(value, name);
  return arguments[1];
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The callback argument

APMPRuntimeValue APMPEventNativeFunctions::make(APMPScope& scope, std::shared_ptr<APMPEventContext> context) {
  return APMPObjectManager::track(APMPValueKind::Map, new APMPEventNativeFunctions(std::move(context)), scope);
}

APMPEventNativeFunctions::Handler APMPEventNativeFunctions::handlerForName(std::string_view name) {
  if (name == "getEventName") return getEventName;
  if (name == "getParamValue") return getParamValue;
  if (name == "getParams") return getParams;
  if (name == "getTimestamp") return getTimestamp;
  if (name == "setEventName") return setEventName;
  if (name == "setParamValue") return setParamValue;
  return nullptr;
}

APMPRuntimeValue APMPEventNativeFunctions::applyWithName(std::string_view name,
                                                         std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                                         platform::Error* error) {
  Handler handler = handlerForName(name);
  if (!handler) return APMPMapValue::applyWithName(name, arguments, scope, error);
  APMPArguments evaluated;
  if (!APMPEvaluateArguments(arguments, scope, evaluated, error)) return {};
  // The context outlives the call even when the program drops this object meanwhile.
  std::shared_ptr<APMPEventContext> context = context_;
  return handler(evaluated.span(), scope, *context, error);
}

// ---------------------------------------------------------------------------------------------
// Created events

platform::Dictionary APMPEventParametersFromMapValue(const APMPMapValue& map, platform::Error* error) {
  platform::Dictionary parameters = APMPRuntimeEntityConverter::dictionaryFromMapValue(map, error);
  if (APMPFailed(error)) return {};
  for (const auto& [name, value] : parameters) {
    if (!APMPIsEventParameterValue(value)) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return {};
    }
  }
  return parameters;
}

APMPRuntimeValue APMPEventLogger::callNative(std::span<const APMPRuntimeValue> arguments, APMPScope&,
                                             platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 3, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  double timestamp = arguments[1].doubleValueOrError(error);
  if (APMPFailed(error)) return {};
  timestamp = std::trunc(APMPToInteger(timestamp));
  const APMPMapValue* map = arguments[2].asMap();
  if (!map) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  platform::Dictionary parameters = APMPEventParametersFromMapValue(*map, error);
  if (APMPFailed(error)) return {};
  context_->logEventWithName(std::move(name), timestamp, parameters);
  return {};
}

// ---------------------------------------------------------------------------------------------
// Callback registration

APMPRuntimeValue APMPRegisterCallbackNativeFunctionValue::callNative(std::span<const APMPRuntimeValue> arguments,
                                                                     APMPScope&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 3, error)) return {};
  const APMPRuntimeValue& callback = arguments[1];
  APMPMapValue* options = arguments[2].asMap();
  if (!callback.isFunction() || !options) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  if (!options->hasProperty("type")) {
    APMPSetEditingError(error, kAPMPEditingErrorMissingRuleType);
    return {};
  }
  std::string ruleType = options->valueForProperty("type").stringValueOrError(error);
  if (APMPFailed(error)) return {};
  int32_t priority = kDefaultPriority;
  if (options->hasProperty("priority")) {
    double number = options->valueForProperty("priority").doubleValueOrError(error);
    if (APMPFailed(error)) return {};
    priority = APMPToInt32(number);
  }
  handler_->registerWithPriority(priority, callback, ruleType, error);
  return {};
}
