#include "APMValue.h"

#include <cstdio>

#include "APMStoreLog.h"

namespace {
const std::string& emptyString() {
  // Never destroyed (here and below): the SDK's threads may read these until the process has ended.
  static const auto& kEmpty = *new std::string;
  return kEmpty;
}
const std::vector<APMParameters>& emptyArray() {
  static const auto& kEmpty = *new std::vector<APMParameters>;
  return kEmpty;
}
}  // namespace

APMValue::APMValue(std::vector<APMParameters> items)
    : value_(std::make_shared<const std::vector<APMParameters>>(std::move(items))) {}

std::optional<APMValue> APMValue::valueFromObject(const platform::Object& object) {
  switch (object.kind()) {
    case platform::Object::Kind::String:
      return APMValue(object.stringValue());
    case platform::Object::Kind::Double:
      return APMValue(object.doubleValue());
    case platform::Object::Kind::Bool:
    case platform::Object::Kind::Integer:
      return APMValue(object.integerValue());
    case platform::Object::Kind::Null:
      APMLog(APMLogLevel::kError, APMStoreLogCode::kValueFromNil, "Cannot create Value type with nil value");
      return std::nullopt;
    default:
      APMLog(APMLogLevel::kError, APMStoreLogCode::kValueFromUnsupportedObject,
             "Cannot create Value type with unsupported object. Object", {object});
      return std::nullopt;
  }
}

std::optional<APMValue> APMValue::valueFromParameterObject(const platform::Object& object) {
  const platform::Array* items = object.asArray();
  if (!items) return valueFromObject(object);
  std::vector<APMParameters> converted;
  converted.reserve(items->size());
  for (const platform::Object& item : *items) {
    const platform::Dictionary* dictionary = item.asDictionary();
    if (!dictionary) continue;
    APMParameters entry;
    for (const auto& [name, value] : *dictionary) {
      if (value.isArray() || value.isDictionary()) continue;  // items do not nest
      if (auto converted = valueFromObject(value)) entry.emplace(name, std::move(*converted));
    }
    converted.push_back(std::move(entry));
  }
  return APMValue(std::move(converted));
}

const std::string& APMValue::stringValue() const { return isString() ? std::get<std::string>(value_) : emptyString(); }

const std::vector<APMParameters>& APMValue::arrayValue() const {
  using Items = std::shared_ptr<const std::vector<APMParameters>>;
  return isArray() && std::get<Items>(value_) ? *std::get<Items>(value_) : emptyArray();
}

platform::Object APMValue::object() const {
  switch (type()) {
    case Type::Int64:
      return platform::Object(int64Value());
    case Type::Double:
      return platform::Object(doubleValue());
    case Type::String:
      return platform::Object(stringValue());
    case Type::Array: {
      platform::Array items;
      items.reserve(arrayValue().size());
      for (const APMParameters& entry : arrayValue()) {
        platform::Dictionary dictionary = APMDictionaryFromParameters(entry);
        items.emplace_back(std::move(dictionary));
      }
      return platform::Object(std::move(items));
    }
  }
  return platform::Object();
}

std::string APMValue::description() const { return object().description(); }

bool APMValue::operator==(const APMValue& other) const {
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Int64:
      return int64Value() == other.int64Value();
    case Type::Double:
      return doubleValue() == other.doubleValue();
    case Type::String:
      return stringValue() == other.stringValue();
    case Type::Array:
      return arrayValue() == other.arrayValue();
  }
  return false;
}

APMParameters APMParametersFromDictionary(const platform::Dictionary& dictionary) {
  APMParameters parameters;
  for (const auto& [name, value] : dictionary) {
    if (auto converted = APMValue::valueFromParameterObject(value)) parameters.emplace(name, std::move(*converted));
  }
  return parameters;
}

platform::Dictionary APMDictionaryFromParameters(const APMParameters& parameters) {
  platform::Dictionary dictionary;
  for (const auto& [name, value] : parameters) dictionary.emplace(name, value.object());
  return dictionary;
}
