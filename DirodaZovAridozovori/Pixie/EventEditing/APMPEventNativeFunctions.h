#pragma once
// The natives through which programs see and change events: the object every callback receives,
// the "internal.eventLogger" module that creates events, and the "internal.registerCallback" module.

#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "APMPEditingCallbackHandler.h"
#include "APMPEventContext.h"
#include "APMPMapValue.h"
#include "APMPNativeModules.h"

// The argument of every callback: "getEventName", "getParamValue", "getParams", "getTimestamp",
// "setEventName", "setParamValue" over the context's output event; other names as on any map.
class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context) : context_(std::move(context)) {}
  static APMPRuntimeValue make(APMPScope& scope, std::shared_ptr<APMPEventContext> context);

  APMPRuntimeValue applyWithName(std::string_view name, std::span<const APMPRuntimeValue> arguments,
                                 APMPScope& scope, platform::Error* error) override;

 private:
  using Handler = APMPRuntimeValue (*)(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       APMPEventContext& context, platform::Error* error);
  static Handler handlerForName(std::string_view name);
  std::shared_ptr<APMPEventContext> context_;
};

// "internal.eventLogger": (name, timestamp, parameters map) appends a created event.
class APMPEventLogger final : public APMPNativeFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> context)
      : APMPNativeFunctionValue("internal.eventLogger"), context_(std::move(context)) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  std::shared_ptr<APMPEventContext> context_;
};

// "internal.registerCallback": (anything, callback function, options map) registers the callback
// under the options' "type" and "priority" (1000 when absent).
class APMPRegisterCallbackNativeFunctionValue final : public APMPNativeFunctionValue {
 public:
  static constexpr int32_t kDefaultPriority = 1000;
  explicit APMPRegisterCallbackNativeFunctionValue(APMPRef<APMPEditingCallbackHandler> handler)
      : APMPNativeFunctionValue("internal.registerCallback"), handler_(std::move(handler)) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  APMPRef<APMPEditingCallbackHandler> handler_;
};

// Parameters from a program's map: values that convert to nothing are left out, and a value that
// cannot be an event parameter (a map, a list of anything but item maps) fails with
// kAPMPErrorArgumentKind instead of being dropped on the way to storage.
platform::Dictionary APMPEventParametersFromMapValue(const APMPMapValue& map, platform::Error* error);
