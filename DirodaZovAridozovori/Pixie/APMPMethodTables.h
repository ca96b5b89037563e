#pragma once
// The hook through which a method call on an array or string value finds its method table.
//
// The tables live with their implementation; a runtime takes the built-in ones (installed in
// APMPBuiltinMethodTables) unless its configuration names others. A missing table answers every
// method with kAPMPErrorNoSuchMethod.

#include <span>
#include <string_view>

#include "APMPRuntimeValue.h"

// receiver: the array; arguments: unevaluated (the table evaluates them in scope).
using APMPArrayMethodHook = APMPRuntimeValue (*)(APMPArrayValue& receiver, std::string_view method,
                                                 std::span<const APMPRuntimeValue> arguments,
                                                 APMPScope& scope, platform::Error* error);
// receiver: the string value; arguments: unevaluated.
using APMPStringMethodHook = APMPRuntimeValue (*)(const APMPStringValue& receiver, std::string_view method,
                                                  std::span<const APMPRuntimeValue> arguments,
                                                  APMPScope& scope, platform::Error* error);

struct APMPMethodTableHooks {
  APMPArrayMethodHook arrayMethods = nullptr;
  APMPStringMethodHook stringMethods = nullptr;
};

// The tables linked into this build.
APMPMethodTableHooks APMPBuiltinMethodTables();
