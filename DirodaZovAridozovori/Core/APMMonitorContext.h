#pragma once
// One context value of a monitor log line: a host value (number, string, null …), an error, or an
// exception. The console line prints contexts readably; the monitoring sample only ever keeps their
// shape (see APMMonitorText::encodedStringWithContextObject), never their content.
//
// Any value that converts to platform::Object converts implicitly, so call sites read
// `APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseOpenFailed, "Unable to open database. Path, error",
// path, error)`.

#include <concepts>
#include <exception>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/Error.h"
#include "platform/Object.h"

// What the monitor keeps of an exception. callStackSymbols follow the platform's symbol lines
// ("<frame> <image> <address> <symbol> + <offset>"); exceptions caught in C++ usually have none.
struct APMExceptionInfo {
  std::string name;
  std::string reason;
  std::vector<std::string> callStackSymbols;

  static APMExceptionInfo fromException(const std::exception& exception);
  // For a catch (...) that has nothing to look at.
  static APMExceptionInfo unknown();
};

class APMMonitorContext {
 public:
  APMMonitorContext() = default;
  template <typename T>
    requires std::constructible_from<platform::Object, T&&> &&
             (!std::derived_from<std::remove_cvref_t<T>, std::exception>)
  APMMonitorContext(T&& value) : value_(platform::Object(std::forward<T>(value))) {}
  APMMonitorContext(platform::Error error) : value_(std::move(error)) {}
  APMMonitorContext(APMExceptionInfo exception) : value_(std::move(exception)) {}
  APMMonitorContext(const std::exception& exception) : value_(APMExceptionInfo::fromException(exception)) {}

  bool isNull() const { return object() != nullptr && object()->isNull(); }
  const platform::Object* object() const { return std::get_if<platform::Object>(&value_); }
  const platform::Error* error() const { return std::get_if<platform::Error>(&value_); }
  const APMExceptionInfo* exception() const { return std::get_if<APMExceptionInfo>(&value_); }

 private:
  std::variant<platform::Object, platform::Error, APMExceptionInfo> value_;
};

using APMMonitorContexts = std::vector<APMMonitorContext>;
