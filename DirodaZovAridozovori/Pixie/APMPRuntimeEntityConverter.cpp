#include "APMPRuntimeEntityConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "APMPArrayValue.h"
#include "APMPMapValue.h"
#include "APMPObjectManager.h"
#include "APMPScope.h"
#include "APMPStatementValue.h"

namespace {

// The type arrives from the network and may lie outside the enumeration: it is read as the integer
// the decoder stored, since loading such a value through the enum type is undefined behaviour.
int32_t entityType(const apmpb_RuntimeEntity& entity) {
  int32_t type = apmpb_RuntimeEntityType_RUNTIME_ENTITY_TYPE_UNKNOWN;
  static_assert(sizeof(*entity.type) == sizeof(type));
  if (entity.type) std::memcpy(&type, entity.type, sizeof(type));
  return type;
}

APMPRuntimeValue convertEntity(const apmpb_RuntimeEntity& entity, uint32_t depth, uint32_t maxDepth,
                               platform::Error* error) {
  switch (entityType(entity)) {
    case apmpb_RuntimeEntityType_STRING: return APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
    case apmpb_RuntimeEntityType_NUMBER: return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
    case apmpb_RuntimeEntityType_BOOLEAN: return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
    case apmpb_RuntimeEntityType_STATEMENT: break;
    default: APMPSetError(error, kAPMPErrorUnknownEntityType); return {};
  }
  if (!entity.function_name) {
    APMPSetError(error, kAPMPErrorMissingFunctionName);
    return {};
  }
  if (depth >= maxDepth) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
  APMPValueList arguments;
  arguments.reserve(entity.value_count);
  for (pb_size_t i = 0; i < entity.value_count; ++i) {
    arguments.push_back(convertEntity(entity.value[i], depth + 1, maxDepth, error));
    if (APMPFailed(error)) return {};
  }
  return APMPStatementValue::make(entity.function_name, std::move(arguments));
}

struct ToHost {
  std::vector<const void*> active;  // containers being converted, innermost last
  platform::Error* error;

  bool enter(const void* container) {
    if (active.size() >= static_cast<size_t>(kAPMPMaxConversionDepth) ||
        std::find(active.begin(), active.end(), container) != active.end()) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return false;
    }
    active.push_back(container);
    return true;
  }

  platform::Object convert(const APMPRuntimeValue& value) {
    switch (value.kind()) {
      case APMPValueKind::Null: return {};
      case APMPValueKind::Undefined: return platform::Object(std::string());
      case APMPValueKind::Map: return platform::Object(dictionary(*value.asMap()));
      case APMPValueKind::Array: return platform::Object(list(*value.asArray()));
      default: break;
    }
    double number = value.doubleValueOrError(error);
    if (APMPFailed(error)) return {};
    if (!std::isnan(number)) return platform::Object(number);
    std::string text = value.stringValueOrError(error);
    if (APMPFailed(error)) return {};
    return platform::Object(std::move(text));
  }

  platform::Array list(const APMPArrayValue& array) {
    platform::Array out;
    if (!enter(&array)) return out;
    for (const APMPRuntimeValue& element : array.allElements()) {
      out.push_back(convert(element));
      if (APMPFailed(error)) break;
    }
    active.pop_back();
    return out;
  }

  platform::Dictionary dictionary(const APMPMapValue& map) {
    platform::Dictionary out;
    if (!enter(&map)) return out;
    for (const std::string& name : map.propertyMap().allNames()) {
      platform::Object converted = convert(map.valueForProperty(name));
      if (APMPFailed(error)) break;
      if (!converted.isNull()) out.emplace(name, std::move(converted));
    }
    active.pop_back();
    return out;
  }
};

APMPRuntimeValue fromHost(const platform::Object& object, APMPScope& scope, int depth, platform::Error* error) {
  switch (object.kind()) {
    case platform::Object::Kind::Null: return APMPRuntimeValue::null();
    case platform::Object::Kind::String: return APMPRuntimeValue::string(object.stringValue());
    case platform::Object::Kind::Bool: return APMPRuntimeValue::boolean(object.boolValue());
    case platform::Object::Kind::Integer:
    case platform::Object::Kind::Double: return APMPRuntimeValue::number(object.doubleValue());
    case platform::Object::Kind::Dictionary:
    case platform::Object::Kind::Array: break;
    default: APMPSetError(error, kAPMPErrorUnsupportedHostObject); return {};
  }
  if (depth >= kAPMPMaxConversionDepth) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
  if (const platform::Dictionary* dictionary = object.asDictionary()) {
    APMPRuntimeValue map = APMPObjectManager::mapValueWithScope(scope);
    for (const auto& [key, element] : *dictionary) {
      APMPRuntimeValue converted = fromHost(element, scope, depth + 1, error);
      if (APMPFailed(error)) return {};
      map.asMap()->setValueForProperty(std::move(converted), key);
    }
    return map;
  }
  const platform::Array& array = object.arrayValue();
  if (array.size() > kAPMPMaxArrayLength) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
  APMPValueList elements;
  elements.reserve(array.size());
  for (const platform::Object& element : array) {
    elements.push_back(fromHost(element, scope, depth + 1, error));
    if (APMPFailed(error)) return {};
  }
  return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
}

}  // namespace

APMPRuntimeValue APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                                           platform::Error* error, uint32_t maxDepth) {
  return runtimeValueFromRuntimeEntity(entity.nano(), error, maxDepth);
}

APMPRuntimeValue APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity,
                                                                           platform::Error* error, uint32_t maxDepth) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  APMPRuntimeValue value = convertEntity(entity, 0, maxDepth, out);
  return APMPFailed(out) ? APMPRuntimeValue() : value;
}

APMPRuntimeValue APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity) {
  return APMPRuntimeValue::string(entity.string_value ? entity.string_value : "");
}

APMPRuntimeValue APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity) {
  return APMPRuntimeValue::number(entity.number_value ? *entity.number_value : NAN);
}

APMPRuntimeValue APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const apmpb_RuntimeEntity& entity) {
  return APMPRuntimeValue::boolean(entity.boolean_value && *entity.boolean_value);
}

APMPRuntimeValue APMPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Object& object,
                                                                      APMPScope& scope, platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  APMPRuntimeValue value = fromHost(object, scope, 0, out);
  return APMPFailed(out) ? APMPRuntimeValue() : value;
}

platform::Object APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPRuntimeValue& value,
                                                                    platform::Error* error) {
  platform::Error local;
  ToHost walk{{}, error ? error : &local};
  return walk.convert(value);
}

platform::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                       platform::Error* error) {
  platform::Error local;
  ToHost walk{{}, error ? error : &local};
  return walk.dictionary(map);
}
