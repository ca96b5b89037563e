#include "APMPControlValue.h"

#include "APMPObjectManager.h"

void APMPControlValue::markChildren(APMPMarker& marker) { marker.mark(data_); }

APMPRuntimeValue APMPControlValue::returnValueWithData(APMPRuntimeValue data) {
  return APMPRuntimeValue::object(APMPValueKind::Return, new APMPControlValue(std::move(data)));
}

std::string_view APMPControlType(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPValueKind::Break: return "break";
    case APMPValueKind::Continue: return "continue";
    case APMPValueKind::Return: return "return";
    default: return {};
  }
}
