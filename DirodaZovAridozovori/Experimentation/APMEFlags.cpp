#include "APMEFlags.h"

#include "APMEMonitor.h"
#include "APMNanoAccessors.h"

using platform::Object;

std::optional<Object> APMEValueFromFlag(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) return std::nullopt;
  return APMEValueFromFlag(*flag);
}

std::optional<Object> APMEValueFromFlag(const APMPBFlag& flag) {
  if (APMNanoHasField(flag, APMPBFlag::kIntValue)) return Object(APMNanoGetInt64(flag, APMPBFlag::kIntValue));
  if (APMNanoHasField(flag, APMPBFlag::kDoubleValue)) return Object(APMNanoGetDouble(flag, APMPBFlag::kDoubleValue));
  if (auto text = APMNanoGetString(flag, APMPBFlag::kStringValue)) return Object(std::move(*text));
  if (APMNanoHasField(flag, APMPBFlag::kBoolValue)) return Object(APMNanoGetBool(flag, APMPBFlag::kBoolValue));
  return std::nullopt;
}

std::shared_ptr<APMPBFlag> APMEFlagFromNameAndValue(const Object& name, const Object& value) {
  if (name.isNull()) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kNilFlagName, "Flag name must not be nil");
    return nullptr;
  }
  if (!name.isString()) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFlagNameNotString, "Flag name must be a string",
           APMEKindName(name));
    return nullptr;
  }
  if (!value.isNumber() && !value.isString()) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFlagValueInvalid, "Flag value is invalid", APMEKindName(value));
    return nullptr;
  }
  // A text with a NUL character, which a message string cannot carry, is refused as well.
  auto flag = std::make_shared<APMPBFlag>();
  if (!APMNanoSetString(*flag, APMPBFlag::kName, name.stringValue())) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFlagNameNotString, "Flag name must be a string",
           APMEKindName(name));
    return nullptr;
  }
  bool stored;
  if (value.isString()) {
    stored = APMNanoSetString(*flag, APMPBFlag::kStringValue, value.stringValue());
  } else if (value.isDouble()) {
    stored = APMNanoSetDouble(*flag, APMPBFlag::kDoubleValue, value.doubleValue());
  } else {
    stored = APMNanoSetInt64(*flag, APMPBFlag::kIntValue, value.integerValue());
  }
  if (!stored) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFlagValueInvalid, "Flag value is invalid", APMEKindName(value));
    return nullptr;
  }
  return flag;
}

std::string APMEKindName(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::Null: return "null";
    case Object::Kind::Bool:
    case Object::Kind::Integer:
    case Object::Kind::Double: return "number";
    case Object::Kind::String: return "string";
    case Object::Kind::Data: return "data";
    case Object::Kind::Date: return "date";
    case Object::Kind::Array: return "array";
    case Object::Kind::Dictionary: return "dictionary";
  }
  return "unknown";
}
