#include "APMEMonitor.h"

std::string APMEMonitor::format(std::string_view message, std::string_view value) {
  std::string text(message);
  const size_t at = text.find("%@");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

std::exception_ptr APMEMonitor::runCatching(const std::function<void()>& block, APMELogCode messageCode,
                                            std::string_view message) {
  try {
    block();
    return nullptr;
  } catch (const std::exception& exception) {
    APMLog(APMLogLevel::kErrorSampled, messageCode, message, exception);
    return std::current_exception();
  } catch (...) {
    APMLog(APMLogLevel::kErrorSampled, messageCode, message, APMExceptionInfo::unknown());
    return std::current_exception();
  }
}
