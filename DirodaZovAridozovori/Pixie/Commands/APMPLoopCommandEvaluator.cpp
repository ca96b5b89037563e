#include "APMPCommandSupport.h"
#include "APMPControlValue.h"

using namespace apmp_commands;

namespace {

enum class Step { Next, Stop };

// Runs the body once; decides whether the loop goes on. A return value becomes the loop's result.
Step runBody(const APMPValueList& body, APMPScope& scope, Value& loopResult, Error* error) {
  Value result = APMPEvaluator::executeStatements(body, scope, error);
  if (APMPFailed(error)) return Step::Stop;
  if (APMPControlValue::isBreak(result)) return Step::Stop;
  if (APMPControlValue::isReturn(result)) {
    loopResult = std::move(result);
    return Step::Stop;
  }
  return Step::Next;
}

Value conditionLoop(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 4, error)) return {};
  bool doFirst = truth(args[2], scope, error);
  if (APMPFailed(error)) return {};
  APMPValueList body;
  if (!statementsOf(args[3], scope, body, error)) return {};
  Value result;
  if (doFirst && runBody(body, scope, result, error) == Step::Stop) return APMPFailed(error) ? Value() : result;
  while (true) {
    bool condition = truth(args[0], scope, error);
    if (APMPFailed(error)) return {};
    if (!condition) return {};
    if (runBody(body, scope, result, error) == Step::Stop) return APMPFailed(error) ? Value() : result;
    APMPEvaluator::evaluateStatement(args[1], scope, error);
    if (APMPFailed(error)) return {};
  }
}

// Copies the loop's variables from one scope into a fresh child of the outer scope.
APMPRef<APMPScope> iterationScope(APMPScope& outer, const APMPScope& from, const std::vector<std::string>& names) {
  APMPRef<APMPScope> scope = outer.createChildScope();
  for (const std::string& name : names) scope->addValue(name, from.valueForName(name));
  return scope;
}

Value countedLoop(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 4, error)) return {};
  Value nameList = APMPEvaluator::evaluateStatement(args[0], scope, error);
  if (APMPFailed(error)) return {};
  APMPArrayValue* namesArray = nameList.asArray();
  if (!namesArray) return fail(error, kAPMPErrorArgumentKind);
  APMPValueList body;
  if (!statementsOf(args[3], scope, body, error)) return {};
  std::vector<std::string> names;
  for (const Value& name : namesArray->allElements()) {
    names.push_back(name.stringValueOrError(error));
    if (APMPFailed(error)) return {};
  }
  APMPRef<APMPScope> current = iterationScope(scope, scope, names);
  Value result;
  while (true) {
    bool condition = truth(args[1], *current, error);
    if (APMPFailed(error) || !condition) return {};
    if (runBody(body, *current, result, error) == Step::Stop) return APMPFailed(error) ? Value() : result;
    current = iterationScope(scope, *current, names);
    APMPEvaluator::evaluateStatement(args[2], *current, error);
    if (APMPFailed(error)) return {};
  }
}

enum class Binding { Assign, Constant, Variable };

template <Binding binding>
Value iterate(const APMPValueList& items, const std::string& name, const APMPValueList& body, APMPScope& scope,
              Error* error) {
  APMPPropertyMap::Key key = APMPPropertyMap::keyFor(name);
  Value result;
  for (const Value& item : items) {
    APMPRef<APMPScope> bodyScope;
    if constexpr (binding == Binding::Assign) {
      scope.setValue(key, item);
      bodyScope = APMPRef<APMPScope>(&scope);
    } else {
      bodyScope = scope.createChildScope();
      if constexpr (binding == Binding::Constant) bodyScope->addImmutableValue(key, item);
      else bodyScope->addValue(key, item);
    }
    if (runBody(body, *bodyScope, result, error) == Step::Stop) return APMPFailed(error) ? Value() : result;
  }
  return {};
}

APMPValueList keysOf(const Value& object) {
  APMPValueList keys;
  switch (object.kind()) {
    case APMPValueKind::String: {
      size_t length = object.asString()->utf16Length();
      for (size_t i = 0; i < length; ++i) keys.push_back(Value::string(std::to_string(i)));
      break;
    }
    case APMPValueKind::Array: keys = object.asArray()->allPropertyNames(); break;
    case APMPValueKind::Map: keys = object.asMap()->allPropertyNames(); break;
    case APMPValueKind::Function: keys = object.asFunction()->allPropertyNames(); break;
    default: break;
  }
  return keys;
}

// The three arguments of the key and value loops, all evaluated first.
bool loopHeader(const APMPStatementValue& statement, APMPScope& scope, APMPArguments& args, std::string& name,
                Error* error) {
  if (!APMPCheckArgumentCount(statement.arguments().size(), 3, error)) return false;
  if (!APMPEvaluateArguments(statement.arguments(), scope, args, error)) return false;
  name = args[0].stringValueOrError(error);
  return !APMPFailed(error);
}

bool bodyOf(const Value& value, APMPValueList& body, Error* error) {
  APMPArrayValue* array = value.asArray();
  if (!array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return false;
  }
  body = array->allElements();
  return true;
}

template <Binding binding>
Value forIn(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  APMPArguments args;
  std::string name;
  if (!loopHeader(statement, scope, args, name, error)) return {};
  APMPValueList keys = keysOf(args[1]);
  if (!APMPChargeWork(keys.size(), error)) return {};
  APMPValueList body;
  if (!bodyOf(args[2], body, error)) return {};
  return iterate<binding>(keys, name, body, scope, error);
}

template <Binding binding>
Value forOf(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  APMPArguments args;
  std::string name;
  if (!loopHeader(statement, scope, args, name, error)) return {};
  APMPValueList values;
  if (args[1].isString()) {
    for (std::string& unit : APMPUTF16Units(args[1].text())) values.push_back(Value::string(std::move(unit)));
  } else if (APMPArrayValue* array = args[1].asArray()) {
    values = array->allElements();
  } else {
    return fail(error, kAPMPErrorNotIterable);
  }
  if (!APMPChargeWork(values.size(), error)) return {};
  APMPValueList body;
  if (!bodyOf(args[2], body, error)) return {};
  return iterate<binding>(values, name, body, scope, error);
}

}  // namespace

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator() {
  handlers_ = {
      {"42", &conditionLoop},
      {"63", &countedLoop},
      {"47", &forIn<Binding::Assign>},
      {"54", &forIn<Binding::Constant>},
      {"55", &forIn<Binding::Variable>},
      {"64", &forOf<Binding::Assign>},
      {"65", &forOf<Binding::Constant>},
      {"66", &forOf<Binding::Variable>},
  };
}
