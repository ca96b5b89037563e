#pragma once
// The control signals: "break", "continue" and "return" travel up through nested evaluation as
// values until the loop, switch or function call that they end takes them. Break and continue
// carry nothing and live inside the handle; a return is a heap object holding the returned value.

#include <string_view>

#include "APMPRuntimeValue.h"

class APMPControlValue final : public APMPObject {
 public:
  static APMPRuntimeValue breakValue() { return APMPRuntimeValue(APMPValueKind::Break); }
  static APMPRuntimeValue continueValue() { return APMPRuntimeValue(APMPValueKind::Continue); }
  static APMPRuntimeValue returnValueWithData(APMPRuntimeValue data);

  static bool isControl(const APMPRuntimeValue& value) {
    return isBreak(value) || isContinue(value) || isReturn(value);
  }
  static bool isBreak(const APMPRuntimeValue& value) { return value.kind() == APMPValueKind::Break; }
  static bool isContinue(const APMPRuntimeValue& value) { return value.kind() == APMPValueKind::Continue; }
  static bool isReturn(const APMPRuntimeValue& value) { return value.kind() == APMPValueKind::Return; }
  // The return signal a value holds; nullptr for any other value.
  static APMPControlValue* asReturn(const APMPRuntimeValue& value) {
    return isReturn(value) ? static_cast<APMPControlValue*>(value.heapObject()) : nullptr;
  }

  explicit APMPControlValue(APMPRuntimeValue data) : data_(std::move(data)) {}
  const APMPRuntimeValue& data() const { return data_; }
  void markChildren(APMPMarker& marker) override;

 private:
  APMPRuntimeValue data_;
};

// The "type" string of a control value ("break", "continue", "return"), empty for other values.
std::string_view APMPControlType(const APMPRuntimeValue& value);
