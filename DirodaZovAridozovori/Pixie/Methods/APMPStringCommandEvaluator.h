#pragma once
// The built-in methods of Pixie strings ("indexOf", "replace", "split" ...), reached by every method
// call on a string value. Indices count UTF-16 code units.

#include <span>
#include <string_view>
#include <unordered_map>

#include "APMPRuntimeValue.h"
#include "APMPScope.h"

class APMPArguments;

class APMPStringCommandEvaluator {
 public:
  // receiver: the string value; arguments: already evaluated.
  using Handler = APMPRuntimeValue (*)(const APMPStringValue& receiver, const APMPArguments& arguments,
                                       APMPScope& scope, platform::Error* error);

  static const APMPStringCommandEvaluator& sharedInstance();

  // Unknown names fail with kAPMPErrorNoSuchMethod; otherwise the arguments are evaluated in order
  // (the first error ends the call) and the handler runs.
  APMPRuntimeValue evaluateCommand(std::string_view name, const APMPStringValue& receiver,
                                   std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                   platform::Error* error) const;
  bool hasMethod(std::string_view name) const { return handlers_.count(name) != 0; }
  size_t methodCount() const { return handlers_.size(); }

 private:
  APMPStringCommandEvaluator();
  std::unordered_map<std::string_view, Handler> handlers_;
};

// The string method hook of the runtime's method tables.
APMPRuntimeValue APMPStringMethodCall(const APMPStringValue& receiver, std::string_view method,
                                      std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                      platform::Error* error);

// Regular expressions compiled from program text stop after this much matching work in one call;
// reaching it fails the call with kAPMPErrorResourceLimit.
inline constexpr int32_t kAPMPRegexTimeSteps = 200;
// Each step of matching work also counts as this many evaluations against the runtime's instruction
// limit (one step is ten thousand iterations of the match engine); running out fails the call with
// kAPMPErrorInstructionLimit.
inline constexpr uint32_t kAPMPInstructionsPerRegexStep = 1000;
