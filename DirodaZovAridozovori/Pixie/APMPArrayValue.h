#pragma once
// The Pixie array: ordered slots (a slot never written is a hole) plus named properties.

#include <span>
#include <string>
#include <string_view>

#include "APMPObjectManager.h"
#include "APMPPropertyMap.h"
#include "APMPRuntimeValue.h"

class APMPFunctionValue;

class APMPArrayValue : public APMPTrackedObject {
 public:
  // The marker of a slot never written; it reads as undefined wherever a program can see it.
  static APMPRuntimeValue hole() { return APMPRuntimeValue(APMPValueKind::Hole); }
  static bool isHole(const APMPRuntimeValue& value) { return value.kind() == APMPValueKind::Hole; }

  APMPArrayValue() = default;
  explicit APMPArrayValue(APMPValueList elements) : elements_(std::move(elements)) {}

  size_t count() const { return elements_.size(); }
  // The raw slots, holes included.
  const APMPValueList& elements() const { return elements_; }
  // A copy of the slots with holes read as undefined.
  APMPValueList allElements() const;
  APMPPropertyMap& propertyMap() { return propertyMap_; }

  // Property access with a runtime key ("length", array indexes, other names).
  bool hasProperty(const APMPRuntimeValue& key, platform::Error* error) const;
  APMPRuntimeValue valueForProperty(const APMPRuntimeValue& key, platform::Error* error) const;
  // False with the error when the key has no string form, the length is invalid or too large.
  bool setValueForProperty(const APMPRuntimeValue& value, const APMPRuntimeValue& key,
                           platform::Error* error);
  void removeValueForProperty(const APMPRuntimeValue& key, platform::Error* error);
  // Named properties first, then the index (as a string value) of every slot that is no hole.
  APMPValueList allPropertyNames() const;

  // Shrinks by dropping the tail or grows with holes; fails beyond kAPMPMaxArrayLength.
  bool setLength(size_t length, platform::Error* error);
  // Slot access by index; an index past the end reads undefined. A hole reads as undefined.
  APMPRuntimeValue elementAt(size_t index) const;
  bool isHoleAt(size_t index) const { return index >= elements_.size() || isHole(elements_[index]); }
  bool setElementAt(size_t index, APMPRuntimeValue value, platform::Error* error);

  // Removes at start (clamped) up to deleteCount slots, inserts values there; returns the removed.
  APMPValueList spliceFrom(int64_t start, int64_t deleteCount, std::span<const APMPRuntimeValue> values,
                           platform::Error* error);
  // Appends an array's slots (holes included) or any other value as one element; a control value
  // is refused with kAPMPErrorArgumentKind.
  bool concat(const APMPRuntimeValue& value, platform::Error* error);
  void reverse();
  // The removed value, undefined when empty. A removed hole reads as undefined: the hole marker
  // never reaches programs.
  APMPRuntimeValue removeFirstElement();
  APMPRuntimeValue removeLastElement();
  // Return the new count; 0 with the error when the array would grow too large.
  size_t appendElements(std::span<const APMPRuntimeValue> values, platform::Error* error);
  size_t prependElements(std::span<const APMPRuntimeValue> values, platform::Error* error);
  // Strict-equality searches; -1 when absent. fromIndex is already clamped by the caller.
  int64_t indexOfValue(const APMPRuntimeValue& value, int64_t fromIndex, platform::Error* error) const;
  int64_t lastIndexOfValue(const APMPRuntimeValue& value, int64_t fromIndex, platform::Error* error) const;
  // Slots joined by the separator; holes, undefined and null contribute nothing. An array met again
  // inside itself contributes nothing too; nesting deeper than kAPMPMaxConversionDepth fails.
  std::string stringValueWithSeparator(std::string_view separator, platform::Error* error) const;
  // Sorts in place: holes last, undefined just before them; compare (may be null) orders the rest.
  // Any comparator (inconsistent, failing, or one that changes the array) is safe: the sort works
  // on a snapshot and writes it back. Returns false with the first error.
  bool sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope, platform::Error* error);

  void markChildren(APMPMarker& marker) override;
  void sweep() override;

 private:
  APMPPropertyMap propertyMap_;
  APMPValueList elements_;
};

inline APMPArrayValue* APMPRuntimeValue::asArray() const {
  return isArray() ? static_cast<APMPArrayValue*>(obj()) : nullptr;
}
