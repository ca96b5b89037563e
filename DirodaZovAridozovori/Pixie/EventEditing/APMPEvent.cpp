#include "APMPEvent.h"

#include <cfloat>
#include <cmath>

#include "APMPRuntimeValue.h"

namespace {

bool isNumber(const platform::Object& value) { return value.isInteger() || value.isDouble() || value.isBool(); }

bool parameterValuesEqual(const platform::Object& a, const platform::Object& b) {
  if (isNumber(a) && isNumber(b) && a.isDouble() != b.isDouble()) return false;
  return a == b;
}

// One-way check: every parameter of `from` is present and equal in `to`.
bool parametersContained(const platform::Dictionary& from, const platform::Dictionary& to) {
  for (const auto& [name, value] : from) {
    const platform::Object* other = platform::find(to, name);
    if (!other || !parameterValuesEqual(value, *other)) return false;
  }
  return true;
}

bool isItemValue(const platform::Object& value) {
  return value.isInteger() || value.isDouble() || value.isString();
}

}  // namespace

APMPEvent::APMPEvent(std::string name, double timestamp, platform::Dictionary parameters)
    : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

const platform::Object& APMPEvent::parameterForName(const std::string& name) const {
  const platform::Object* value = platform::find(parameters_, name);
  return value ? *value : platform::Object::null();
}

bool APMPEvent::hasParameterName(const std::string& name) const { return platform::find(parameters_, name); }

void APMPEvent::setParameter(const platform::Object& value, const std::string& name) {
  if (value.isNull()) {
    parameters_.erase(name);
    return;
  }
  parameters_[name] = APMPCoerceParameterValue(value, name, parameterForName(name));
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (std::fabs(timestamp_ - other.timestamp_) > DBL_EPSILON) return false;
  if (name_ != other.name_) return false;
  return parametersContained(parameters_, other.parameters_) && parametersContained(other.parameters_, parameters_);
}

platform::Object APMPCoerceParameterValue(const platform::Object& value, const std::string& name,
                                          const platform::Object& oldValue) {
  if (!isNumber(value)) return value;
  if (name == "_syn" || name == "_err" || name == "_el") return platform::Object(value.integerValue());
  if (isNumber(oldValue)) {
    if (oldValue.isDouble()) return value;
    if (!name.empty() && name[0] == '_') return oldValue;
    return platform::Object(value.integerValue());
  }
  if (oldValue.isString()) return platform::Object(APMPNumberToString(value.doubleValue()));
  return value;
}

bool APMPIsEventParameterValue(const platform::Object& value) {
  if (isItemValue(value)) return true;
  const platform::Array* items = value.asArray();
  if (!items) return false;
  for (const platform::Object& item : *items) {
    const platform::Dictionary* fields = item.asDictionary();
    if (!fields) return false;
    for (const auto& [key, field] : *fields) {
      if (!isItemValue(field)) return false;
    }
  }
  return true;
}
