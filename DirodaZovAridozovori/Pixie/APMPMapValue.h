#pragma once
// The Pixie object: named properties only.

#include <span>
#include <string_view>

#include "APMPObjectManager.h"
#include "APMPPropertyMap.h"
#include "APMPRuntimeValue.h"

class APMPMapValue : public APMPTrackedObject {
 public:
  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }
  bool hasProperty(std::string_view name) const { return propertyMap_.hasName(name); }
  void setValueForProperty(APMPRuntimeValue value, std::string_view name) {
    propertyMap_.setValue(name, std::move(value));
  }
  APMPRuntimeValue valueForProperty(std::string_view name) const { return propertyMap_.valueForName(name); }
  void removeValueForProperty(std::string_view name) { propertyMap_.removeValueForName(name); }
  APMPValueList allPropertyNames() const;

  // Method call: an own property holding a function is called; "hasOwnProperty"; else error 17.
  // Hosts subclass maps to offer native methods.
  virtual APMPRuntimeValue applyWithName(std::string_view name, std::span<const APMPRuntimeValue> arguments,
                                         APMPScope& scope, platform::Error* error);

  void markChildren(APMPMarker& marker) override;
  void sweep() override;

 protected:
  APMPPropertyMap propertyMap_;
};

inline APMPMapValue* APMPRuntimeValue::asMap() const {
  return isMap() ? static_cast<APMPMapValue*>(obj()) : nullptr;
}
