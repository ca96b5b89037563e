#pragma once
// The measurement SDK's errors: domain "com.diroda.dmp.measurement.ErrorDomain", the description
// under the localized-description key and an optional short context under "APMMonitorContext"
// (which the monitor appends to its sample, so it must never carry user data).
//
// The helpers fill an out-parameter only when one is given and only on failure.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"

inline constexpr const char* kAPMErrorDomain = "com.diroda.dmp.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";
inline constexpr const char* kAPMLocalizedDescriptionKey = "NSLocalizedDescription";

class APMError {
 public:
  static platform::Error apm_errorWithCode(int64_t code, const std::string& description);
  static platform::Error apm_errorWithCode(int64_t code, const std::string& description,
                                           const std::string& monitorContext);
  // The "APMMonitorContext" of an error of the SDK's domain, or "" for any other error.
  static std::string monitorContextOf(const platform::Error& error);
};

void APMSetError(platform::Error* error, int64_t code, const std::string& description);
void APMSetErrorWithMonitorContext(platform::Error* error, int64_t code, const std::string& description,
                                   const std::string& monitorContext);
// Returns value; on false fills *error.
bool APMCheckBool(bool value, platform::Error* error, int64_t code, const std::string& description);

// True when value is present (a non-empty pointer, optional or function, a non-null Object); when
// absent fills *error.
template <typename T>
bool APMCheckNotNil(const T& value, platform::Error* error, int64_t code, const std::string& description) {
  bool present;
  if constexpr (requires { value.isNull(); }) {
    present = !value.isNull();
  } else {
    present = static_cast<bool>(value);
  }
  if (!present) APMSetError(error, code, description);
  return present;
}
