#pragma once
// Method calls on runtime values (APMPRuntimeValue::applyWithName is defined here): which methods a value answers depends on its kind (strings and
// arrays through the runtime's method tables, maps and functions through their own properties).

#include <span>
#include <string_view>

#include "APMPRuntimeValue.h"
#include "platform/Error.h"

class APMPPropertyMap;
class APMPScope;

// The method-call rules shared by maps and functions (own property holding a function, then
// "hasOwnProperty", then the base rules).
APMPRuntimeValue APMPApplyPropertyMethod(APMPPropertyMap& properties, std::string_view name,
                                         std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                         platform::Error* error);

// "toString" (a string of the value's string form); any other name fails with error 17.
APMPRuntimeValue APMPApplyBaseMethod(const APMPRuntimeValue& value, std::string_view name,
                                     platform::Error* error);
