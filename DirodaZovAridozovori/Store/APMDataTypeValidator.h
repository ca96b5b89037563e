#pragma once
// Name and value rules for events, parameters, user properties and origins.
//
// Every check takes the value and an optional failure-code pointer and returns whether the value
// is valid; on failure the code says why (APMValidationFailure). Lengths count UTF-16 units.

#include <cstddef>
#include <string>

#include "APMValue.h"
#include "platform/Object.h"

enum APMValidationFailure : int {
  kAPMValidationNone = 0,
  kAPMValidationEmpty = 1,              // nil or empty
  kAPMValidationTooLong = 2,            // over the length limit
  kAPMValidationInvalidCharacters = 3,  // not a letter first, or not letters, digits and "_"
  kAPMValidationReserved = 4,           // a reserved name or prefix
  kAPMValidationUnsupportedType = 5,    // a value kind the rule does not take
  kAPMValidationMissingSuffix = 6,      // a forwarded origin without "+stg"
};

class APMDataTypeValidator {
 public:
  static constexpr size_t kMaxEventNameLength = 40;
  static constexpr size_t kMaxEventParameterNameLength = 40;
  static constexpr size_t kMaxUserAttributeNameLength = 24;
  static constexpr size_t kMaxPublicUserAttributeValueLength = 36;
  static constexpr size_t kMaxOriginLength = 32;
  static constexpr const char* kForwardedOriginSuffix = "+stg";

  static bool isValidPublicEventName(const std::string& name, int* failureCode);
  static bool isValidInternalEventName(const std::string& name, int* failureCode);
  static bool isValidPublicEventParameterName(const std::string& name, int* failureCode);
  static bool isValidInternalEventParameterName(const std::string& name, int* failureCode);
  // Strings up to maxPublicEventParameterValueLength (or the internal length), integers and doubles.
  static bool isValidPublicEventParameterValue(const APMValue& value, int* failureCode);
  static bool isValidInternalEventParameterValue(const APMValue& value, int* failureCode);

  static bool isValidPublicUserAttributeName(const std::string& name, int* failureCode);
  static bool isValidInternalUserAttributeName(const std::string& name, int* failureCode);
  // A string of 1 to 36 characters.
  static bool isValidPublicUserAttributeValue(const APMValue& value, int* failureCode);
  // Strings up to the length limit of the name, integers and doubles.
  static bool isValidInternalUserAttributeValue(const APMValue& value, const std::string& name, int* failureCode);
  static size_t maxInternalUserAttributeValueLength(const std::string& name);

  // "<internal name of at most 32 characters>+stg".
  static bool isValidForwardedEventOrigin(const std::string& origin, int* failureCode);
  // A string of 1 to maxPublicEventParameterValueLength characters.
  static bool isValidScreenParameterValue(const platform::Object& value, int* failureCode);
  // The same for a value known to be a string, checked where it lies.
  static bool isValidScreenParameterText(const std::string& text, int* failureCode);

  static bool isValidConditionalUserPropertyOrigin(const std::string& origin, int* failureCode);
  static bool isValidConditionalUserPropertyName(const std::string& name, int* failureCode);
  static bool isValidConditionalUserPropertyValue(const APMValue& value, int* failureCode);
};
