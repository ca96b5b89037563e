#include "APMPersistedValues.h"

bool APMPersistedValues::has(const std::string& name) const { return !store_->object(keyFor(name)).isNull(); }

std::optional<double> APMPersistedValues::doubleValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.doubleValue();
}

std::optional<int64_t> APMPersistedValues::integerValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.integerValue();
}

std::optional<bool> APMPersistedValues::boolValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.boolValue();
}

std::optional<std::string> APMPersistedValues::stringValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

void APMPersistedValues::setObject(const std::string& name, const platform::Object& value) {
  store_->setObject(keyFor(name), value);
}
