#pragma once
// Functions: closures defined by programs, and natives offered by the runtime and its host.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "APMPObjectManager.h"
#include "APMPPropertyMap.h"
#include "APMPRuntimeValue.h"
#include "APMPScope.h"

class APMPFunctionValue : public APMPTrackedObject {
 public:
  APMPFunctionValue(std::string functionName, std::vector<std::string> parameters,
                    APMPValueList statements, APMPRef<APMPScope> definingScope);

  const std::string& functionName() const { return functionName_; }
  const std::vector<std::string>& parameters() const { return parameters_; }
  const APMPValueList& statements() const { return statements_; }
  APMPScope* definingScope() const { return definingScope_.get(); }
  APMPPropertyMap& propertyMap() { return propertyMap_; }

  bool hasProperty(std::string_view name) const { return propertyMap_.hasName(name); }
  void setValueForProperty(APMPRuntimeValue value, std::string_view name) {
    propertyMap_.setValue(name, std::move(value));
  }
  APMPRuntimeValue valueForProperty(std::string_view name) const { return propertyMap_.valueForName(name); }
  void removeValueForProperty(std::string_view name) { propertyMap_.removeValueForName(name); }
  APMPValueList allPropertyNames() const;

  // Evaluates the arguments in the caller's scope, then invokes. Natives may override to take
  // their arguments unevaluated.
  virtual APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments,
                                               APMPScope& callerScope, platform::Error* error);
  // Runs the body in a child of the defining scope with the parameters bound; a return signal is
  // unwrapped. callerScope serves natives (their conversions) and gives the runtime.
  virtual APMPRuntimeValue invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments,
                                                        APMPScope& callerScope, platform::Error* error);

  void markChildren(APMPMarker& marker) override;
  void sweep() override;

 protected:
  std::string functionName_;
  std::vector<std::string> parameters_;
  APMPValueList statements_;
  APMPRef<APMPScope> definingScope_;
  APMPPropertyMap propertyMap_;
};

inline APMPFunctionValue* APMPRuntimeValue::asFunction() const {
  return isFunction() ? static_cast<APMPFunctionValue*>(obj()) : nullptr;
}
