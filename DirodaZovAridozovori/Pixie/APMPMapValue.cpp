#include "APMPMapValue.h"

#include "APMPMethodCall.h"

APMPValueList APMPMapValue::allPropertyNames() const {
  APMPValueList names;
  for (std::string& name : propertyMap_.allNames()) names.push_back(APMPRuntimeValue::string(std::move(name)));
  return names;
}

APMPRuntimeValue APMPMapValue::applyWithName(std::string_view name, std::span<const APMPRuntimeValue> arguments,
                                             APMPScope& scope, platform::Error* error) {
  if (propertyMap_.hasName(name) || name == "hasOwnProperty")
    return APMPApplyPropertyMethod(propertyMap_, name, arguments, scope, error);
  return APMPApplyBaseMethod(APMPRuntimeValue::object(APMPValueKind::Map, this), name, error);
}

void APMPMapValue::markChildren(APMPMarker& marker) { propertyMap_.markValues(marker); }

void APMPMapValue::sweep() {
  swept_ = true;
  propertyMap_.clear();
}
