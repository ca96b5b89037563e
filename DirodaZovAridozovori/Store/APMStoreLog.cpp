#include "APMStoreLog.h"

platform::Error APMStoreError(int64_t code, const std::string& description) {
  return APMError::apm_errorWithCode(code, description);
}

bool APMFail(platform::Error* error, int64_t code, const std::string& description) {
  platform::setError(error, APMStoreError(code, description));
  return false;
}
