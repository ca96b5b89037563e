#pragma once
// The built-in methods of Pixie arrays ("push", "map", "sort" ...), reached by a method call on an
// array value that has no named property of that name.

#include <span>
#include <string_view>
#include <unordered_map>

#include "APMPArrayValue.h"
#include "APMPRuntimeValue.h"
#include "APMPScope.h"

class APMPArguments;

class APMPArrayCommandEvaluator {
 public:
  // receiver: the array; array: the same array as a value (callbacks receive it, and "reverse" and
  // "sort" return it); arguments: already evaluated.
  using Handler = APMPRuntimeValue (*)(APMPArrayValue& receiver, const APMPRuntimeValue& array,
                                       const APMPArguments& arguments, APMPScope& scope,
                                       platform::Error* error);

  static const APMPArrayCommandEvaluator& sharedInstance();

  // Unknown names fail with kAPMPErrorNoSuchMethod before any argument is evaluated; otherwise the
  // arguments are evaluated in order (the first error ends the call) and the handler runs.
  APMPRuntimeValue evaluateCommand(std::string_view name, APMPArrayValue& receiver,
                                   std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                   platform::Error* error) const;
  bool hasMethod(std::string_view name) const { return handlers_.count(name) != 0; }
  size_t methodCount() const { return handlers_.size(); }

 private:
  APMPArrayCommandEvaluator();
  std::unordered_map<std::string_view, Handler> handlers_;
};

// The array method hook of the runtime's method tables.
APMPRuntimeValue APMPArrayMethodCall(APMPArrayValue& receiver, std::string_view method,
                                     std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                     platform::Error* error);
