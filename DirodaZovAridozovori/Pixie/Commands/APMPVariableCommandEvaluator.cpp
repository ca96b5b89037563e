#include "APMPCommandSupport.h"

using namespace apmp_commands;

namespace {

APMPPropertyMap::Key keyOf(const Value& name) { return APMPPropertyMap::keyFor(*name.asString()); }

Value assign(const APMPArguments& args, APMPScope& scope, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  if (!args[0].isString()) return fail(error, kAPMPErrorArgumentKind);
  APMPPropertyMap::Key key = keyOf(args[0]);
  if (!scope.hasName(key)) return fail(error, kAPMPErrorUndeclaredAssignment);
  scope.setValue(key, args[1]);
  return args[1];
}

Value declareConstants(const APMPArguments& args, APMPScope& scope, Error* error) {
  if (args.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
  for (size_t i = 0; i < args.size(); i += 2) {
    if (!args[i].isString()) return fail(error, kAPMPErrorArgumentKind);
    scope.addImmutableValue(keyOf(args[i]), args[i + 1]);
  }
  return {};
}

Value declareVariables(const APMPArguments& args, APMPScope& scope, Error* error) {
  for (const Value& name : args.span()) {
    if (!name.isString()) return fail(error, kAPMPErrorArgumentKind);
    scope.addValue(keyOf(name), Value());
  }
  return {};
}

Value arrayLiteral(const APMPArguments& args, APMPScope& scope, Error*) {
  return APMPObjectManager::arrayValueWithArray(APMPValueList(args.span().begin(), args.span().end()), scope);
}

Value objectLiteral(const APMPArguments& args, APMPScope& scope, Error* error) {
  if (args.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
  Value map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i < args.size(); i += 2) {
    std::string key = args[i].stringValueOrError(error);
    if (APMPFailed(error)) return {};
    map.asMap()->setValueForProperty(args[i + 1], key);
  }
  return map;
}

Value readVariable(const APMPArguments& args, APMPScope& scope, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 1, error)) return {};
  if (!args[0].isString()) return fail(error, kAPMPErrorArgumentKind);
  return scope.valueForName(keyOf(args[0]));
}

Value stringProperty(const Value& string, const Value& key, Error* error) {
  std::string name = key.stringValueOrError(error);
  if (APMPFailed(error)) return {};
  const APMPStringValue& text = *string.asString();
  if (name == "length") return Value::number(static_cast<double>(text.utf16Length()));
  if (!APMPIsArrayIndex(key)) return {};
  double index = key.doubleValueOrError(error);
  if (APMPFailed(error)) return {};
  if (index >= static_cast<double>(text.utf16Length())) return {};
  size_t at = static_cast<size_t>(index);
  if (text.isASCII()) return Value::string(std::string(1, text.value()[at]));
  if (!APMPChargeWork(text.value().size(), error)) return {};
  return Value::string(APMPUTF16UnitAt(text.value(), at));
}

Value readProperty(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  const Value& object = args[0];
  const Value& key = args[1];
  switch (object.kind()) {
    case APMPValueKind::Array: return object.asArray()->valueForProperty(key, error);
    case APMPValueKind::Map:
    case APMPValueKind::Function: {
      std::string name = key.stringValueOrError(error);
      if (APMPFailed(error)) return {};
      return object.isMap() ? object.asMap()->valueForProperty(name) : object.asFunction()->valueForProperty(name);
    }
    case APMPValueKind::String: return stringProperty(object, key, error);
    default: return {};
  }
}

Value writeProperty(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 3, error)) return {};
  const Value& object = args[0];
  const Value& key = args[1];
  const Value& value = args[2];
  switch (object.kind()) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null: return fail(error, kAPMPErrorPropertyWriteOnNothing);
    case APMPValueKind::Array:
      if (!object.asArray()->setValueForProperty(value, key, error)) return {};
      return value;
    case APMPValueKind::Map:
    case APMPValueKind::Function: {
      std::string name = key.stringValueOrError(error);
      if (APMPFailed(error)) return {};
      if (object.isMap()) object.asMap()->setValueForProperty(value, name);
      else object.asFunction()->setValueForProperty(value, name);
      return value;
    }
    default: return value;
  }
}

Value typeOf(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 1, error)) return {};
  switch (args[0].kind()) {
    case APMPValueKind::Boolean: return Value::string("boolean");
    case APMPValueKind::Function: return Value::string("function");
    case APMPValueKind::Number: return Value::string("number");
    case APMPValueKind::String: return Value::string("string");
    case APMPValueKind::Undefined: return Value::string("undefined");
    default: return Value::string("object");
  }
}

Value undefinedLiteral(const APMPArguments&, APMPScope&, Error*) { return Value(); }
Value nullLiteral(const APMPArguments&, APMPScope&, Error*) { return Value::null(); }

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() {
  handlers_ = {
      {"3", &evaluated<assign>},         {"52", &evaluated<declareConstants>},
      {"41", &evaluated<declareVariables>}, {"7", &evaluated<arrayLiteral>},
      {"8", &evaluated<objectLiteral>},  {"15", &evaluated<readVariable>},
      {"16", &evaluated<readProperty>},  {"17", &evaluated<readProperty>},
      {"43", &evaluated<writeProperty>}, {"40", &evaluated<typeOf>},
      {"44", &evaluated<undefinedLiteral>}, {"45", &evaluated<nullLiteral>},
  };
}
