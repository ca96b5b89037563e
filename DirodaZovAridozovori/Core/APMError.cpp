#include "APMError.h"

platform::Error APMError::apm_errorWithCode(int64_t code, const std::string& description) {
  return apm_errorWithCode(code, description, std::string());
}

platform::Error APMError::apm_errorWithCode(int64_t code, const std::string& description,
                                            const std::string& monitorContext) {
  platform::Dictionary info;
  if (!description.empty()) info[kAPMLocalizedDescriptionKey] = platform::Object(description);
  if (!monitorContext.empty()) info[kAPMMonitorContextKey] = platform::Object(monitorContext);
  return platform::Error(kAPMErrorDomain, code, description, std::move(info));
}

std::string APMError::monitorContextOf(const platform::Error& error) {
  if (error.domain != kAPMErrorDomain) return {};
  const platform::Object* context = platform::find(error.userInfo, kAPMMonitorContextKey);
  return context && context->isString() ? context->stringValue() : std::string();
}

void APMSetError(platform::Error* error, int64_t code, const std::string& description) {
  if (error) *error = APMError::apm_errorWithCode(code, description);
}

void APMSetErrorWithMonitorContext(platform::Error* error, int64_t code, const std::string& description,
                                   const std::string& monitorContext) {
  if (error) *error = APMError::apm_errorWithCode(code, description, monitorContext);
}

bool APMCheckBool(bool value, platform::Error* error, int64_t code, const std::string& description) {
  if (!value) APMSetError(error, code, description);
  return value;
}
