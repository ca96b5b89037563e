#pragma once
// Errors returned through out-parameters, and exceptions raised for host misuse.

#include <cstdint>
#include <exception>
#include <string>

#include "platform/Object.h"

namespace platform {

// The error filled by an operation that can fail (domain, code, description, user info).
struct Error {
  std::string domain;
  int64_t code = 0;
  std::string description;
  Dictionary userInfo;

  Error() = default;
  Error(std::string d, int64_t c, std::string desc = {}, Dictionary info = {})
      : domain(std::move(d)), code(c), description(std::move(desc)), userInfo(std::move(info)) {}
  bool empty() const { return domain.empty() && code == 0; }
};

// Fills *out when out is given.
inline void setError(Error* out, Error error) {
  if (out) *out = std::move(error);
}

// Raised when the host misuses an API (a bad app name, missing options …).
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason)
      : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::string what_;
};

}  // namespace platform
