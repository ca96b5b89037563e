#pragma once
// Errors of the event-editing host: codes only, no text.

#include "platform/Error.h"

inline constexpr const char* kAPMPEditingErrorDomain = "com.diroda.dmp.measurement.pixie.editing.ErrorDomain";

enum APMPEditingErrorCode : int {
  kAPMPEditingErrorMissingRuleType = 2,       // callback options without a "type" property
  kAPMPEditingErrorUnknownRuleType = 3,       // a rule type other than "create" and "edit"
  kAPMPEditingErrorTooManyCallbacks = 4,      // more than 1000 callbacks
  kAPMPEditingErrorControlValueAtTopLevel = 5,  // the top-level run ended in break, continue or return
  kAPMPEditingErrorActivityDataNotMap = 6,    // an activity's data is not a map value
  kAPMPEditingErrorActivityNotFunction = 7,   // an activity's name names no function
};

inline void APMPSetEditingError(platform::Error* error, int code) {
  if (error) *error = platform::Error(kAPMPEditingErrorDomain, code);
}
