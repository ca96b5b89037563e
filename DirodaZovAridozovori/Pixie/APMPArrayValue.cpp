#include "APMPArrayValue.h"

#include <algorithm>
#include <cmath>

#include "APMPControlValue.h"
#include "APMPFunctionValue.h"
#include "APMPScope.h"
#include "APMPValueComparison.h"
#include "platform/Unicode.h"

namespace {

constexpr size_t kSlotBytes = sizeof(APMPRuntimeValue);

bool checkGrowth(size_t newCount, size_t oldCount, platform::Error* error) {
  if (newCount > kAPMPMaxArrayLength) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return false;
  }
  if (newCount > oldCount) return APMPChargeAllocation((newCount - oldCount) * kSlotBytes, error);
  return true;
}

// The index of an array-index key (already known to be one), saturated far beyond any real count.
size_t indexOf(const APMPRuntimeValue& key) {
  platform::Error ignored;
  double number = key.doubleValueOrError(&ignored);
  return static_cast<size_t>(APMPClampToInt64(number, 0, int64_t(1) << 53));
}

}  // namespace

APMPValueList APMPArrayValue::allElements() const {
  APMPValueList out;
  out.reserve(elements_.size());
  for (const APMPRuntimeValue& slot : elements_) out.push_back(isHole(slot) ? APMPRuntimeValue() : slot);
  return out;
}

APMPRuntimeValue APMPArrayValue::elementAt(size_t index) const {
  if (index >= elements_.size() || isHole(elements_[index])) return {};
  return elements_[index];
}

bool APMPArrayValue::setElementAt(size_t index, APMPRuntimeValue value, platform::Error* error) {
  if (index >= elements_.size()) {
    if (index >= kAPMPMaxArrayLength) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return false;
    }
    if (!setLength(index + 1, error)) return false;
  }
  elements_[index] = std::move(value);
  return true;
}

bool APMPArrayValue::hasProperty(const APMPRuntimeValue& key, platform::Error* error) const {
  if (APMPIsArrayIndex(key)) return !isHoleAt(indexOf(key));
  std::string name = key.stringValueOrError(error);
  if (APMPFailed(error)) return false;
  return propertyMap_.hasName(name);
}

APMPRuntimeValue APMPArrayValue::valueForProperty(const APMPRuntimeValue& key, platform::Error* error) const {
  std::string name = key.stringValueOrError(error);
  if (APMPFailed(error)) return {};
  if (name == "length") return APMPRuntimeValue::number(static_cast<double>(elements_.size()));
  if (APMPIsArrayIndex(key)) return elementAt(indexOf(key));
  return propertyMap_.valueForName(name);
}

bool APMPArrayValue::setValueForProperty(const APMPRuntimeValue& value, const APMPRuntimeValue& key,
                                         platform::Error* error) {
  std::string name = key.stringValueOrError(error);
  if (APMPFailed(error)) return false;
  if (name == "length") {
    if (!APMPIsArrayIndex(value)) {
      APMPSetError(error, kAPMPErrorInvalidArrayLength);
      return false;
    }
    double length = value.doubleValueOrError(error);
    if (length > static_cast<double>(kAPMPMaxArrayLength)) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return false;
    }
    return setLength(static_cast<size_t>(length), error);
  }
  if (APMPIsArrayIndex(key)) return setElementAt(indexOf(key), value, error);
  if (swept_) return true;
  propertyMap_.setValue(name, value);
  return true;
}

void APMPArrayValue::removeValueForProperty(const APMPRuntimeValue& key, platform::Error* error) {
  if (APMPIsArrayIndex(key)) {
    size_t index = indexOf(key);
    if (index < elements_.size()) elements_[index] = hole();
    return;
  }
  std::string name = key.stringValueOrError(error);
  if (APMPFailed(error)) return;
  propertyMap_.removeValueForName(name);
}

APMPValueList APMPArrayValue::allPropertyNames() const {
  APMPValueList names;
  for (std::string& name : propertyMap_.allNames()) names.push_back(APMPRuntimeValue::string(std::move(name)));
  for (size_t i = 0; i < elements_.size(); ++i)
    if (!isHole(elements_[i])) names.push_back(APMPRuntimeValue::string(std::to_string(i)));
  return names;
}

bool APMPArrayValue::setLength(size_t length, platform::Error* error) {
  if (swept_) return true;
  if (!checkGrowth(length, elements_.size(), error)) return false;
  if (length < elements_.size()) {
    // Detach the tail before it is released: releasing may free objects that look at this array.
    APMPValueList tail(std::make_move_iterator(elements_.begin() + static_cast<ptrdiff_t>(length)),
                       std::make_move_iterator(elements_.end()));
    elements_.resize(length);
    return true;
  }
  elements_.resize(length, hole());
  return true;
}

APMPValueList APMPArrayValue::spliceFrom(int64_t start, int64_t deleteCount,
                                         std::span<const APMPRuntimeValue> values, platform::Error* error) {
  int64_t count = static_cast<int64_t>(elements_.size());
  start = std::clamp<int64_t>(start, 0, count);
  deleteCount = std::clamp<int64_t>(deleteCount, 0, count - start);
  size_t newCount = elements_.size() - static_cast<size_t>(deleteCount) + values.size();
  if (!APMPChargeWork(elements_.size() + values.size(), error)) return {};
  if (!checkGrowth(newCount, elements_.size(), error)) return {};
  auto first = elements_.begin() + static_cast<ptrdiff_t>(start);
  APMPValueList removed(std::make_move_iterator(first), std::make_move_iterator(first + static_cast<ptrdiff_t>(deleteCount)));
  first = elements_.erase(first, first + static_cast<ptrdiff_t>(deleteCount));
  elements_.insert(first, values.begin(), values.end());
  return removed;
}

bool APMPArrayValue::concat(const APMPRuntimeValue& value, platform::Error* error) {
  if (APMPControlValue::isControl(value)) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return false;
  }
  if (const APMPArrayValue* other = value.asArray()) {
    if (!APMPChargeWork(other->elements_.size(), error)) return false;
    APMPValueList copy = other->elements_;  // other may be this array
    if (!checkGrowth(elements_.size() + copy.size(), elements_.size(), error)) return false;
    elements_.insert(elements_.end(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
    return true;
  }
  if (!checkGrowth(elements_.size() + 1, elements_.size(), error)) return false;
  elements_.push_back(value);
  return true;
}

void APMPArrayValue::reverse() { std::reverse(elements_.begin(), elements_.end()); }

APMPRuntimeValue APMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return {};
  APMPRuntimeValue first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  return isHole(first) ? APMPRuntimeValue() : first;
}

APMPRuntimeValue APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return {};
  APMPRuntimeValue last = std::move(elements_.back());
  elements_.pop_back();
  return isHole(last) ? APMPRuntimeValue() : last;
}

size_t APMPArrayValue::appendElements(std::span<const APMPRuntimeValue> values, platform::Error* error) {
  APMPValueList copy(values.begin(), values.end());
  if (!checkGrowth(elements_.size() + copy.size(), elements_.size(), error)) return 0;
  elements_.insert(elements_.end(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
  return elements_.size();
}

size_t APMPArrayValue::prependElements(std::span<const APMPRuntimeValue> values, platform::Error* error) {
  if (!APMPChargeWork(elements_.size() + values.size(), error)) return 0;
  APMPValueList copy(values.begin(), values.end());
  if (!checkGrowth(elements_.size() + copy.size(), elements_.size(), error)) return 0;
  elements_.insert(elements_.begin(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const APMPRuntimeValue& value, int64_t fromIndex, platform::Error* error) const {
  if (!APMPChargeWork(elements_.size(), error)) return -1;
  for (size_t i = static_cast<size_t>(std::max<int64_t>(fromIndex, 0)); i < elements_.size(); ++i)
    if (APMPStrictEquals(elements_[i], value)) return static_cast<int64_t>(i);
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const APMPRuntimeValue& value, int64_t fromIndex,
                                         platform::Error* error) const {
  if (elements_.empty() || fromIndex < 0) return -1;
  if (!APMPChargeWork(elements_.size(), error)) return -1;
  int64_t start = std::min<int64_t>(fromIndex, static_cast<int64_t>(elements_.size()) - 1);
  for (int64_t i = start; i >= 0; --i)
    if (APMPStrictEquals(elements_[static_cast<size_t>(i)], value)) return i;
  return -1;
}

std::string APMPArrayValue::stringValueWithSeparator(std::string_view separator, platform::Error* error) const {
  // Arrays being converted on this thread, innermost last: a cycle contributes nothing, and
  // nesting is bounded so that hostile structures cannot exhaust the stack.
  thread_local std::vector<const APMPArrayValue*> active;
  if (std::find(active.begin(), active.end(), this) != active.end()) return "";
  if (active.size() >= static_cast<size_t>(kAPMPMaxConversionDepth)) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return "";
  }
  if (!APMPChargeWork(elements_.size(), error)) return "";
  active.push_back(this);
  APMPValueList slots = elements_;  // conversions must not see the list change under them
  std::string out;
  bool failed = false;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) out += separator;
    const APMPRuntimeValue& slot = slots[i];
    if (!isHole(slot) && !slot.isNothing()) {
      out += slot.stringValueOrError(error);
      if (APMPFailed(error)) {
        failed = true;
        break;
      }
    }
    if (out.size() > kAPMPMaxStringLength) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      failed = true;
      break;
    }
  }
  active.pop_back();
  return failed ? std::string() : out;
}

bool APMPArrayValue::sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope, platform::Error* error) {
  APMPRef<APMPArrayValue> keep(this);
  APMPRef<APMPFunctionValue> keepCompare(compare);
  // Holes and undefined values go last, in that order, whatever the comparison says.
  size_t steps = elements_.size();
  for (size_t n = elements_.size(); n > 1; n /= 2) steps += elements_.size();
  if (!APMPChargeWork(steps, error)) return false;
  APMPValueList values;
  size_t undefinedCount = 0, holeCount = 0;
  for (const APMPRuntimeValue& slot : elements_) {
    if (isHole(slot)) ++holeCount;
    else if (slot.isUndefined()) ++undefinedCount;
    else values.push_back(slot);
  }
  platform::Error recorded;
  std::vector<std::u16string> keys;  // UTF-16 forms: their code-unit order is the text order
  if (!compare) {
    keys.reserve(values.size());
    for (const APMPRuntimeValue& v : values) {
      if (APMPFailed(&recorded)) {
        keys.emplace_back();
        continue;
      }
      keys.push_back(platform::generalizedUtf8ToUtf16(v.stringValueOrError(&recorded)));
    }
  }
  // Sorting positions keeps keys and values together; the merge sort below is well defined for
  // any answers the comparison gives.
  std::vector<size_t> order(values.size()), buffer(values.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto less = [&](size_t a, size_t b) -> bool {  // true when b must come before a
    if (APMPFailed(&recorded)) return false;
    if (!compare) return keys[b] < keys[a];
    APMPRuntimeValue arguments[2] = {values[a], values[b]};
    APMPRuntimeValue result = compare->invokeWithEvaluatedArguments(arguments, scope, &recorded);
    if (APMPFailed(&recorded)) return false;
    double number = result.doubleValueOrError(&recorded);
    if (APMPFailed(&recorded)) return false;
    return number > 0;
  };
  for (size_t width = 1; width < order.size(); width *= 2) {
    for (size_t low = 0; low < order.size(); low += 2 * width) {
      size_t mid = std::min(low + width, order.size()), high = std::min(low + 2 * width, order.size());
      size_t i = low, j = mid, k = low;
      while (i < mid && j < high) buffer[k++] = less(order[i], order[j]) ? order[j++] : order[i++];
      while (i < mid) buffer[k++] = order[i++];
      while (j < high) buffer[k++] = order[j++];
    }
    order.swap(buffer);
  }
  APMPValueList sorted;
  sorted.reserve(values.size() + undefinedCount + holeCount);
  for (size_t index : order) sorted.push_back(values[index]);
  sorted.insert(sorted.end(), undefinedCount, APMPRuntimeValue());
  sorted.insert(sorted.end(), holeCount, hole());
  if (!swept_) elements_.swap(sorted);
  if (APMPFailed(&recorded)) {
    if (error) *error = std::move(recorded);
    return false;
  }
  return true;
}

void APMPArrayValue::markChildren(APMPMarker& marker) {
  propertyMap_.markValues(marker);
  for (const APMPRuntimeValue& slot : elements_) marker.mark(slot);
}

void APMPArrayValue::sweep() {
  swept_ = true;
  APMPValueList dropped;
  dropped.swap(elements_);
  propertyMap_.clear();
}
