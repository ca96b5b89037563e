#pragma once
// Field accessors of the APMPB messages, addressed by field index: the zero-based position of a
// field in its message, which is not always the tag order (a bundle's index 6 is tag 26). Each
// message class carries its index -> tag table, so these functions find the field by tag.
//
// Reads of an absent field give NO, 0, std::nullopt or nullptr. A sub-message or repeated field
// is read as a copy; change the copy and set it back. Setters return false, and change nothing,
// when the index names no field of a compatible kind or the value cannot be stored (a string
// holding a NUL character, more elements than a repeated field can count, exhausted memory).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "NANOMessageBase.h"

// YES when an optional field is present; a repeated field always answers YES.
bool APMNanoHasField(const NANOMessageBase& message, int index);
// Removes the field's value (a repeated field becomes never allocated).
void APMNanoClearField(NANOMessageBase& message, int index);

bool APMNanoGetBool(const NANOMessageBase& message, int index);
// Integer fields of any width and sign, enumerations and booleans; other kinds read 0.
int32_t APMNanoGetInt32(const NANOMessageBase& message, int index);
int64_t APMNanoGetInt64(const NANOMessageBase& message, int index);
// Floating fields, and integer fields converted.
double APMNanoGetDouble(const NANOMessageBase& message, int index);

bool APMNanoSetBool(NANOMessageBase& message, int index, bool value);
bool APMNanoSetInt32(NANOMessageBase& message, int index, int32_t value);
bool APMNanoSetInt64(NANOMessageBase& message, int index, int64_t value);
bool APMNanoSetDouble(NANOMessageBase& message, int index, double value);

std::optional<std::string> APMNanoGetString(const NANOMessageBase& message, int index);
// std::nullopt clears the field.
bool APMNanoSetString(NANOMessageBase& message, int index, const std::optional<std::string>& value);

// Stores a deep copy of `value`, which must be of the field's message type.
bool APMNanoSetMessage(NANOMessageBase& message, int index, const NANOMessageBase& value);

namespace nano_detail {
// The raw struct of a sub-message field whose type is `expected`, or nullptr.
const void* messageField(const NANOMessageBase& message, int index, const pb_msgdesc_t* expected);

std::optional<std::vector<int64_t>> repeatedSigned(const NANOMessageBase& message, int index);
std::optional<std::vector<uint64_t>> repeatedUnsigned(const NANOMessageBase& message, int index);
std::optional<std::vector<double>> repeatedDouble(const NANOMessageBase& message, int index);
std::optional<std::vector<bool>> repeatedBool(const NANOMessageBase& message, int index);
std::optional<std::vector<std::string>> repeatedString(const NANOMessageBase& message, int index);
std::optional<std::vector<const void*>> repeatedMessages(const NANOMessageBase& message, int index,
                                                         const pb_msgdesc_t* expected);

bool setRepeatedSigned(NANOMessageBase& message, int index, const std::vector<int64_t>& values);
bool setRepeatedUnsigned(NANOMessageBase& message, int index, const std::vector<uint64_t>& values);
bool setRepeatedDouble(NANOMessageBase& message, int index, const std::vector<double>& values);
bool setRepeatedBool(NANOMessageBase& message, int index, const std::vector<bool>& values);
bool setRepeatedString(NANOMessageBase& message, int index, const std::vector<std::string>& values);
bool setRepeatedMessages(NANOMessageBase& message, int index,
                         const std::vector<const NANOMessageBase*>& values);

template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};

template <class To, class From>
std::optional<std::vector<To>> convertAll(const std::optional<std::vector<From>>& values) {
  if (!values) {
    return std::nullopt;
  }
  std::vector<To> result;
  result.reserve(values->size());
  for (const auto& value : *values) {
    result.push_back(static_cast<To>(value));
  }
  return result;
}
}  // namespace nano_detail

// A copy of the sub-message as an object of class T, or nullptr when absent or of another type.
template <class T>
std::shared_ptr<T> APMNanoGetMessage(const NANOMessageBase& message, int index) {
  const void* raw = nano_detail::messageField(message, index, T::messageInfo().descriptor);
  if (raw == nullptr) {
    return nullptr;
  }
  return T::initWithMessageInfo(static_cast<const typename T::NanoType*>(raw));
}

// nullptr clears the field.
template <class T>
bool APMNanoSetMessage(NANOMessageBase& message, int index, const std::shared_ptr<T>& value) {
  if (!value) {
    APMNanoClearField(message, index);
    return true;
  }
  return APMNanoSetMessage(message, index, static_cast<const NANOMessageBase&>(*value));
}

// Copies of the elements: T is a number type, bool, std::string or std::shared_ptr<APMPB…>.
// std::nullopt when the repeated field was never allocated or has another kind.
template <class T>
std::optional<std::vector<T>> APMNanoGetRepeatedField(const NANOMessageBase& message, int index) {
  using namespace nano_detail;
  if constexpr (IsSharedPtr<T>::value) {
    using Message = typename T::element_type;
    auto raws = repeatedMessages(message, index, Message::messageInfo().descriptor);
    if (!raws) {
      return std::nullopt;
    }
    std::vector<T> result;
    result.reserve(raws->size());
    for (const void* raw : *raws) {
      auto element =
          Message::initWithMessageInfo(static_cast<const typename Message::NanoType*>(raw));
      if (!element) {
        return std::nullopt;
      }
      result.push_back(std::move(element));
    }
    return result;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return repeatedString(message, index);
  } else if constexpr (std::is_same_v<T, bool>) {
    return repeatedBool(message, index);
  } else if constexpr (std::is_floating_point_v<T>) {
    return convertAll<T>(repeatedDouble(message, index));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return convertAll<T>(repeatedSigned(message, index));
  } else {
    static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>, "unsupported element type");
    return convertAll<T>(repeatedUnsigned(message, index));
  }
}

// Replaces the whole list; an empty list leaves the field allocated and empty.
template <class T>
bool APMNanoSetRepeatedField(NANOMessageBase& message, int index, const std::vector<T>& values) {
  using namespace nano_detail;
  if constexpr (IsSharedPtr<T>::value) {
    std::vector<const NANOMessageBase*> raws;
    raws.reserve(values.size());
    for (const auto& value : values) {
      if (!value) {
        return false;
      }
      raws.push_back(value.get());
    }
    return setRepeatedMessages(message, index, raws);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return setRepeatedString(message, index, values);
  } else if constexpr (std::is_same_v<T, bool>) {
    return setRepeatedBool(message, index, values);
  } else if constexpr (std::is_floating_point_v<T>) {
    return setRepeatedDouble(message, index, std::vector<double>(values.begin(), values.end()));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return setRepeatedSigned(message, index, std::vector<int64_t>(values.begin(), values.end()));
  } else {
    static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>, "unsupported element type");
    return setRepeatedUnsigned(message, index,
                               std::vector<uint64_t>(values.begin(), values.end()));
  }
}
