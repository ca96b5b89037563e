#pragma once
// Flag values and their message form. A flag carries one value: a 64-bit integer, a double, a
// string or a boolean; numbers and strings are what SDKs register as defaults and read back.

#include <memory>
#include <optional>
#include <string>

#include "APMPBMessages.h"
#include "platform/Object.h"

// The flag's value: the first of its integer, double, string and boolean fields that is present
// (in that order); nothing for a missing flag or a flag without a value.
std::optional<platform::Object> APMEValueFromFlag(const std::shared_ptr<APMPBFlag>& flag);
std::optional<platform::Object> APMEValueFromFlag(const APMPBFlag& flag);

// A flag named name holding value: strings as strings, floating numbers as doubles, every other
// number (booleans too) as a 64-bit integer. nullptr (logged, 850000 to 850002) for a null or
// non-string name or a value that is neither a number nor a string.
std::shared_ptr<APMPBFlag> APMEFlagFromNameAndValue(const platform::Object& name, const platform::Object& value);

// The kind of a host value as log lines name it ("string", "number", "array" …).
std::string APMEKindName(const platform::Object& value);
