#include "APMPNativeModules.h"

#include <cmath>

#include "APMLogChannel.h"
#include "APMPEvaluator.h"
#include "APMPRuntimeEntityConverter.h"

APMPNativeFunctionValue::APMPNativeFunctionValue(std::string name)
    : APMPFunctionValue(std::move(name), {}, {}, nullptr) {}

APMPRuntimeValue APMPNativeFunctionValue::invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments,
                                                                       APMPScope& callerScope, platform::Error* error) {
  APMPRef<APMPFunctionValue> keep(this);
  return callNative(arguments, callerScope, error);
}

// ---------------------------------------------------------------------------------------------
// require

APMPRequire::APMPRequire(APMPRuntime& runtime) : APMPNativeFunctionValue("require"), runtime_(runtime) {}

APMPRuntimeValue APMPRequire::make(APMPRuntime& runtime) {
  return APMPNativeFunctionValue::make<APMPRequire>(runtime, runtime);
}

APMPRuntimeValue APMPRequire::callNative(std::span<const APMPRuntimeValue> arguments, APMPScope&,
                                         platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  auto cached = modules_.find(name);
  if (cached != modules_.end()) return cached->second;
  APMPRuntimeValue module = runtime_.provider().moduleForName(name, runtime_, error);
  if (APMPFailed(error) || module.isUndefined()) return {};
  if (swept_) return module;
  modules_.emplace(name, module);
  return module;
}

void APMPRequire::markChildren(APMPMarker& marker) {
  APMPNativeFunctionValue::markChildren(marker);
  for (const auto& [name, module] : modules_) marker.mark(module);
}

void APMPRequire::sweep() {
  APMPNativeFunctionValue::sweep();
  std::unordered_map<std::string, APMPRuntimeValue> dropped;
  dropped.swap(modules_);
}

// ---------------------------------------------------------------------------------------------
// Platform

APMPRuntimeValue APMPRuntimePlatform::make(APMPRuntime& runtime) {
  APMPRuntimeValue module = APMPNativeFunctionValue::make<APMPRuntimePlatform>(runtime);
  module.asFunction()->setValueForProperty(APMPNativeFunctionValue::make<APMPFunctionGetVersion>(runtime),
                                           "getVersion");
  return module;
}

APMPRuntimeValue APMPFunctionGetVersion::callNative(std::span<const APMPRuntimeValue>, APMPScope&, platform::Error*) {
  return APMPRuntimeValue::number(APMPRuntime::runtimeVersion());
}

// ---------------------------------------------------------------------------------------------
// Logging

APMLogLevel APMPixieLogger::monitorLevelFor(int programLevel, bool silent, bool monitored) {
  switch (programLevel) {
    case 2:
      return APMLogLevel::kVerbose;
    case 3:
      return APMLogLevel::kDebug;
    case 5:
      if (silent) return APMLogLevel::kWarningSampledOnly;
      return monitored ? APMLogLevel::kWarningSampled : APMLogLevel::kWarning;
    case 6:
      if (silent) return APMLogLevel::kErrorSampledOnly;
      return monitored ? APMLogLevel::kErrorSampled : APMLogLevel::kError;
    default:
      return APMLogLevel::kNotice;
  }
}

void APMPixieLogger::logWithLevel(int level, const std::string& message, const std::vector<std::string>& context,
                                  bool silent, bool monitored) {
  const APMLogLevel monitorLevel = monitorLevelFor(level, silent, monitored);
  APMLog(monitorLevel, APMPixieLogCode::kProgramLine, message, APMMonitorContexts(context.begin(), context.end()));
}

APMPRuntimeValue APMPFunctionLog::callNative(std::span<const APMPRuntimeValue> arguments, APMPScope&,
                                             platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments.size(), 1, error)) return {};
  int level = 4;
  std::string message;
  std::vector<std::string> context;
  if (arguments.size() == 1) {
    message = arguments[0].stringValueOrError(error);
    if (APMPFailed(error)) return {};
  } else {
    double number = arguments[0].doubleValueOrError(error);
    if (APMPFailed(error)) return {};
    level = static_cast<int>(APMPClampToInt64(std::trunc(number), INT32_MIN, INT32_MAX));
    message = arguments[1].stringValueOrError(error);
    if (APMPFailed(error)) return {};
    for (size_t i = 2; i < arguments.size() && i < 5; ++i) {
      context.push_back(arguments[i].stringValueOrError(error));
      if (APMPFailed(error)) return {};
    }
  }
  if (logger_) logger_->logWithLevel(level, message, context, silent_, monitored_);
  return {};
}

APMPRuntimeValue APMPMessageLogger::make(APMPRuntime& runtime, std::string name,
                                         std::shared_ptr<APMPLoggerDelegate> logger) {
  APMPRuntimeValue module = APMPNativeFunctionValue::make<APMPMessageLogger>(runtime, std::move(name));
  APMPFunctionValue* object = module.asFunction();
  object->setValueForProperty(APMPNativeFunctionValue::make<APMPFunctionLog>(runtime, logger, false, true), "log");
  APMPRuntimeValue silent = APMPNativeFunctionValue::make<APMPFunctionLogVariant>(runtime, "silent");
  silent.asFunction()->setValueForProperty(APMPNativeFunctionValue::make<APMPFunctionLog>(runtime, logger, true, true),
                                           "log");
  object->setValueForProperty(silent, "silent");
  APMPRuntimeValue unmonitored = APMPNativeFunctionValue::make<APMPFunctionLogVariant>(runtime, "unmonitored");
  unmonitored.asFunction()->setValueForProperty(
      APMPNativeFunctionValue::make<APMPFunctionLog>(runtime, logger, false, false), "log");
  object->setValueForProperty(unmonitored, "unmonitored");
  return module;
}

// ---------------------------------------------------------------------------------------------
// Key-value store and object provider

APMPRuntimeValue APMPKeyValueStore::make(APMPRuntime& runtime, std::string name, Block block) {
  APMPRuntimeValue module = APMPNativeFunctionValue::make<APMPKeyValueStore>(runtime, std::move(name));
  module.asFunction()->setValueForProperty(
      APMPNativeFunctionValue::make<APMPKeyValueStoreGetValue>(runtime, std::move(block)), "getValue");
  return module;
}

APMPRuntimeValue APMPKeyValueStoreGetValue::callNative(std::span<const APMPRuntimeValue> arguments, APMPScope&,
                                                       platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 2, error)) return {};
  std::string key = arguments[0].stringValueOrError(error);
  if (APMPFailed(error)) return {};
  std::optional<std::string> answer = block_ ? block_(key) : std::nullopt;
  if (!answer) return arguments[1];
  return APMPMakeString(std::move(*answer), error);
}

APMPRuntimeValue APMPObjectProvider::callNative(std::span<const APMPRuntimeValue>, APMPScope& callerScope,
                                                platform::Error* error) {
  platform::Object object = block_ ? block_() : platform::Object();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, callerScope, error);
}
