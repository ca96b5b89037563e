#pragma once
// Program entities to runtime values, and host objects to and from runtime values.

#include <memory>
#include <vector>

#include "APMPBMessages.h"
#include "APMPRuntimeValue.h"
#include "platform/Object.h"

class APMPRuntimeEntityConverter {
 public:
  // Literals and statements; kAPMPErrorUnknownEntityType, kAPMPErrorMissingFunctionName, and
  // kAPMPErrorResourceLimit for trees nested deeper than maxDepth.
  static APMPRuntimeValue runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, platform::Error* error,
                                                        uint32_t maxDepth = 200);
  static APMPRuntimeValue runtimeValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity, platform::Error* error,
                                                        uint32_t maxDepth = 200);
  static APMPRuntimeValue stringValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity);
  static APMPRuntimeValue numberValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity);
  static APMPRuntimeValue booleanValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity);

  // Host object to runtime value; dictionaries and lists become tracked maps and arrays.
  // kAPMPErrorUnsupportedHostObject for data and dates; kAPMPErrorResourceLimit for nesting
  // deeper than kAPMPMaxConversionDepth or lists longer than kAPMPMaxArrayLength.
  static APMPRuntimeValue runtimeValueFromNSObject(const platform::Object& object, APMPScope& scope,
                                                   platform::Error* error);
  // Runtime value to host object: null gives nothing (a null Object), undefined the empty string,
  // maps dictionaries, arrays lists (a null element stays a null Object), any other value its
  // number when it has one, else its text. A structure that contains itself, or nests deeper than
  // kAPMPMaxConversionDepth, fails with kAPMPErrorResourceLimit.
  static platform::Object objectFromRuntimeValue(const APMPRuntimeValue& value, platform::Error* error);
  // Properties that convert to nothing are left out.
  static platform::Dictionary dictionaryFromMapValue(const APMPMapValue& map, platform::Error* error);
};
