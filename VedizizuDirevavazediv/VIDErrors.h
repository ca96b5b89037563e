#pragma once
// Errors the installation client hands to its callers.

#include <cstdint>

inline constexpr const char* kVIDErrorDomain = "com.zoredode.installations.ErrorDomain";

enum VIDErrorCode : int64_t {
  // The identifier's file or directory cannot be read, created or written.
  kVIDErrorStorage = 1,
  // The system's secure random generator failed.
  kVIDErrorRandom = 2,
};
