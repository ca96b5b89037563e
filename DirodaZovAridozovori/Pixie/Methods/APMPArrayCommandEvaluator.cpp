#include "Methods/APMPArrayCommandEvaluator.h"

#include <cmath>
#include <optional>
#include <vector>

#include "APMPControlValue.h"
#include "APMPEvaluator.h"
#include "APMPFunctionValue.h"
#include "APMPObjectManager.h"
#include "Methods/APMPStringOperations.h"

namespace {

using Arguments = APMPArguments;

bool failed(const platform::Error* error) { return APMPFailed(error); }

// ToInteger of an argument's number form; nothing (with the error set) when the form fails.
std::optional<double> integerArgument(const APMPRuntimeValue& value, platform::Error* error) {
  double number = value.doubleValueOrError(error);
  if (failed(error)) return std::nullopt;
  return APMPToInteger(number);
}

// The callback methods take exactly one function value.
APMPFunctionValue* callbackArgument(const Arguments& arguments, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return nullptr;
  APMPFunctionValue* callback = arguments[0].asFunction();
  if (!callback) APMPSetError(error, kAPMPErrorArgumentKind);
  return callback;
}

// What a callback method does with each callback result; Stop ends the walk early.
enum class Step { Continue, Stop };
using StepFunction = Step (*)(const APMPRuntimeValue& element, size_t index, const APMPRuntimeValue& result,
                              APMPRuntimeValue& state, platform::Error* error);

// The length is taken once: elements pushed by the callback are not visited, and indices that the
// callback removed (holes, or past a shortened end) are skipped.
bool forEachPresentElement(APMPArrayValue& receiver, const APMPRuntimeValue& array, APMPFunctionValue& callback,
                           APMPScope& scope, APMPRuntimeValue& state, StepFunction step,
                           platform::Error* error) {
  const size_t length = receiver.count();
  for (size_t index = 0; index < length; ++index) {
    if (receiver.isHoleAt(index)) continue;
    APMPRuntimeValue element = receiver.elementAt(index);
    std::vector<APMPRuntimeValue> values{element, APMPRuntimeValue::number(static_cast<double>(index)), array};
    APMPRuntimeValue result = callback.invokeWithArguments(values, scope, error);
    if (failed(error)) return false;
    if (step(element, index, result, state, error) == Step::Stop) break;
    if (failed(error)) return false;
  }
  return true;
}

bool truth(const APMPRuntimeValue& value, platform::Error* error) { return value.booleanValueOrError(error); }

APMPRuntimeValue runCallbackMethod(APMPArrayValue& receiver, const APMPRuntimeValue& array,
                                   const Arguments& arguments, APMPScope& scope, APMPRuntimeValue state,
                                   StepFunction step, platform::Error* error) {
  APMPFunctionValue* callback = callbackArgument(arguments, error);
  if (!callback) return {};
  if (!forEachPresentElement(receiver, array, *callback, scope, state, step, error)) return {};
  return state;
}

APMPRuntimeValue every(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                       APMPScope& scope, platform::Error* error) {
  return runCallbackMethod(receiver, array, arguments, scope, APMPRuntimeValue::boolean(true),
                           [](const APMPRuntimeValue&, size_t, const APMPRuntimeValue& result,
                              APMPRuntimeValue& state, platform::Error* error) {
                             if (truth(result, error) || failed(error)) return Step::Continue;
                             state = APMPRuntimeValue::boolean(false);
                             return Step::Stop;
                           },
                           error);
}

APMPRuntimeValue some(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                      APMPScope& scope, platform::Error* error) {
  return runCallbackMethod(receiver, array, arguments, scope, APMPRuntimeValue::boolean(false),
                           [](const APMPRuntimeValue&, size_t, const APMPRuntimeValue& result,
                              APMPRuntimeValue& state, platform::Error* error) {
                             if (!truth(result, error) || failed(error)) return Step::Continue;
                             state = APMPRuntimeValue::boolean(true);
                             return Step::Stop;
                           },
                           error);
}

APMPRuntimeValue forEach(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                         APMPScope& scope, platform::Error* error) {
  return runCallbackMethod(
      receiver, array, arguments, scope, APMPRuntimeValue::undefined(),
      [](const APMPRuntimeValue&, size_t, const APMPRuntimeValue&, APMPRuntimeValue&, platform::Error*) {
        return Step::Continue;
      },
      error);
}

APMPRuntimeValue filter(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                        APMPScope& scope, platform::Error* error) {
  APMPRuntimeValue kept = APMPObjectManager::arrayValueWithScope(scope);
  return runCallbackMethod(receiver, array, arguments, scope, kept,
                           [](const APMPRuntimeValue& element, size_t, const APMPRuntimeValue& result,
                              APMPRuntimeValue& state, platform::Error* error) {
                             if (truth(result, error)) state.asArray()->appendElements({&element, 1}, error);
                             return Step::Continue;
                           },
                           error);
}

// The result has the source's length, so every hole of the source (trailing ones included) stays
// a hole in the result.
APMPRuntimeValue map(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                     APMPScope& scope, platform::Error* error) {
  APMPRuntimeValue mapped = APMPObjectManager::arrayValueWithScope(scope);
  if (!callbackArgument(arguments, error)) return {};
  if (!mapped.asArray()->setLength(receiver.count(), error)) return {};
  return runCallbackMethod(receiver, array, arguments, scope, mapped,
                           [](const APMPRuntimeValue&, size_t index, const APMPRuntimeValue& result,
                              APMPRuntimeValue& state, platform::Error* error) {
                             state.asArray()->setElementAt(index, result, error);
                             return Step::Continue;
                           },
                           error);
}

APMPRuntimeValue reduceInDirection(APMPArrayValue& receiver, const APMPRuntimeValue& array,
                                   const Arguments& arguments, APMPScope& scope, bool upward,
                                   platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments.size(), 1, error) ||
      !APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) {
    return {};
  }
  APMPFunctionValue* callback = arguments[0].asFunction();
  if (!callback || (arguments.size() == 2 && APMPControlValue::isControl(arguments[1]))) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  const size_t length = receiver.count();
  // Walk positions 0 .. length-1 upward, or length-1 .. 0 downward.
  auto indexAt = [&](size_t step) { return upward ? step : length - 1 - step; };
  size_t step = 0;
  APMPRuntimeValue accumulator;
  if (arguments.size() == 2) {
    accumulator = arguments[1];
  } else {
    while (step < length && receiver.isHoleAt(indexAt(step))) ++step;
    if (step == length) {
      APMPSetError(error, kAPMPErrorReduceOfEmpty);
      return {};
    }
    accumulator = receiver.elementAt(indexAt(step));
    ++step;
  }
  for (; step < length; ++step) {
    const size_t index = indexAt(step);
    if (receiver.isHoleAt(index)) continue;
    std::vector<APMPRuntimeValue> values{accumulator, receiver.elementAt(index),
                                         APMPRuntimeValue::number(static_cast<double>(index)), array};
    accumulator = callback->invokeWithArguments(values, scope, error);
    if (failed(error)) return {};
  }
  return accumulator;
}

APMPRuntimeValue reduce(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                        APMPScope& scope, platform::Error* error) {
  return reduceInDirection(receiver, array, arguments, scope, true, error);
}

APMPRuntimeValue reduceRight(APMPArrayValue& receiver, const APMPRuntimeValue& array,
                             const Arguments& arguments, APMPScope& scope, platform::Error* error) {
  return reduceInDirection(receiver, array, arguments, scope, false, error);
}

APMPRuntimeValue indexOf(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                         APMPScope&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  const auto length = static_cast<int64_t>(receiver.count());
  APMPRuntimeValue searched = arguments.empty() ? APMPRuntimeValue::undefined() : arguments[0];
  int64_t start = 0;
  if (arguments.size() == 2) {
    std::optional<double> position = integerArgument(arguments[1], error);
    if (!position) return {};
    if (*position >= static_cast<double>(length)) return APMPRuntimeValue::number(-1);
    start = APMPRelativePosition(*position, length);
  }
  int64_t found = receiver.indexOfValue(searched, start, error);
  if (failed(error)) return {};
  return APMPRuntimeValue::number(static_cast<double>(found));
}

APMPRuntimeValue lastIndexOf(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                             APMPScope&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  const auto length = static_cast<int64_t>(receiver.count());
  APMPRuntimeValue searched = arguments.empty() ? APMPRuntimeValue::undefined() : arguments[0];
  double start = static_cast<double>(length - 1);
  if (arguments.size() == 2) {
    double number = arguments[1].doubleValueOrError(error);
    if (failed(error)) return {};
    if (!std::isnan(number)) {
      start = APMPToInteger(number);
      if (start < 0) start += static_cast<double>(length);
    }
  }
  if (start < 0 || length == 0) return APMPRuntimeValue::number(-1);
  const int64_t from = APMPClampPosition(start, 0, length - 1);
  int64_t found = receiver.lastIndexOfValue(searched, from, error);
  if (failed(error)) return {};
  return APMPRuntimeValue::number(static_cast<double>(found));
}

APMPRuntimeValue joined(APMPArrayValue& receiver, std::string_view separator, platform::Error* error) {
  std::string text = receiver.stringValueWithSeparator(separator, error);
  if (failed(error)) return {};
  return APMPMakeString(std::move(text), error);
}

APMPRuntimeValue join(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                      APMPScope&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 1, error)) return {};
  if (arguments.empty()) return joined(receiver, ",", error);
  if (arguments[0].isNothing()) return joined(receiver, "", error);
  std::string separator = arguments[0].stringValueOrError(error);
  if (failed(error)) return {};
  return joined(receiver, separator, error);
}

APMPRuntimeValue toString(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                          APMPScope&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return joined(receiver, ",", error);
}

APMPRuntimeValue hasOwnProperty(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                                APMPScope&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (failed(error)) return {};
  if (name == "length") return APMPRuntimeValue::boolean(true);
  bool has = receiver.hasProperty(arguments[0], error);
  if (failed(error)) return {};
  return APMPRuntimeValue::boolean(has);
}

size_t contributedCount(const APMPRuntimeValue& value) {
  const APMPArrayValue* array = value.asArray();
  return array ? array->count() : 1;
}

APMPRuntimeValue concat(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                        APMPScope& scope, platform::Error* error) {
  // Checked up front so that a huge result is refused before anything is copied.
  size_t total = receiver.count();
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (APMPControlValue::isControl(arguments[i])) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return {};
    }
    total += contributedCount(arguments[i]);
    if (total > kAPMPMaxArrayLength) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return {};
    }
  }
  if (!APMPChargeWork(receiver.count(), error)) return {};
  APMPRuntimeValue result = APMPObjectManager::arrayValueWithArray(receiver.elements(), scope);
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (!result.asArray()->concat(arguments[i], error)) return {};
  }
  return result;
}

APMPRuntimeValue push(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                      APMPScope&, platform::Error* error) {
  size_t count = receiver.appendElements(arguments.span(), error);
  if (failed(error)) return {};
  return APMPRuntimeValue::number(static_cast<double>(count));
}

APMPRuntimeValue unshift(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                         APMPScope&, platform::Error* error) {
  size_t count = receiver.prependElements(arguments.span(), error);
  if (failed(error)) return {};
  return APMPRuntimeValue::number(static_cast<double>(count));
}

// A removed hole reads as undefined: the hole marker never reaches a program.
APMPRuntimeValue withoutHole(APMPRuntimeValue value) { return APMPArrayValue::isHole(value) ? APMPRuntimeValue() : value; }

APMPRuntimeValue pop(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments, APMPScope&,
                     platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return withoutHole(receiver.removeLastElement());
}

APMPRuntimeValue shift(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                       APMPScope&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  // Every remaining element moves down one place.
  if (!APMPChargeWork(receiver.count(), error)) return {};
  return withoutHole(receiver.removeFirstElement());
}

APMPRuntimeValue reverse(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                         APMPScope&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  if (!APMPChargeWork(receiver.count(), error)) return {};
  receiver.reverse();
  return array;
}

APMPRuntimeValue slice(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                       APMPScope& scope, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  const auto length = static_cast<int64_t>(receiver.count());
  int64_t start = 0;
  int64_t end = length;
  if (!arguments.empty()) {
    std::optional<double> value = integerArgument(arguments[0], error);
    if (!value) return {};
    start = APMPRelativePosition(*value, length);
  }
  if (arguments.size() == 2) {
    std::optional<double> value = integerArgument(arguments[1], error);
    if (!value) return {};
    end = APMPRelativePosition(*value, length);
  }
  if (end < start) end = start;
  if (!APMPChargeWork(static_cast<size_t>(end - start), error)) return {};
  return APMPObjectManager::subarrayWithArray(receiver, static_cast<size_t>(start),
                                              static_cast<size_t>(end - start), scope);
}

APMPRuntimeValue splice(APMPArrayValue& receiver, const APMPRuntimeValue&, const Arguments& arguments,
                        APMPScope& scope, platform::Error* error) {
  if (arguments.empty()) return APMPObjectManager::arrayValueWithScope(scope);
  const auto length = static_cast<int64_t>(receiver.count());
  std::optional<double> first = integerArgument(arguments[0], error);
  if (!first) return {};
  const int64_t start = APMPRelativePosition(*first, length);
  int64_t deleteCount = length - start;
  if (arguments.size() >= 2) {
    std::optional<double> count = integerArgument(arguments[1], error);
    if (!count) return {};
    deleteCount = APMPClampPosition(*count, 0, length - start);
  }
  std::span<const APMPRuntimeValue> items = arguments.span().subspan(std::min<size_t>(2, arguments.size()));
  APMPValueList removed = receiver.spliceFrom(start, deleteCount, items, error);
  if (failed(error)) return {};
  return APMPObjectManager::arrayValueWithArray(std::move(removed), scope);
}

APMPRuntimeValue sort(APMPArrayValue& receiver, const APMPRuntimeValue& array, const Arguments& arguments,
                      APMPScope& scope, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 1, error)) return {};
  if (receiver.count() <= 1) return array;
  APMPFunctionValue* compare = nullptr;
  if (!arguments.empty()) {
    compare = arguments[0].asFunction();
    if (!compare) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return array;
    }
  }
  receiver.sortUsingFunctionValue(compare, scope, error);
  return array;
}

}  // namespace

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& instance = *new APMPArrayCommandEvaluator;
  return instance;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator()
    : handlers_{
          {"concat", concat},       {"every", every},
          {"filter", filter},       {"forEach", forEach},
          {"hasOwnProperty", hasOwnProperty},
          {"indexOf", indexOf},     {"join", join},
          {"lastIndexOf", lastIndexOf},
          {"map", map},             {"pop", pop},
          {"push", push},           {"reduce", reduce},
          {"reduceRight", reduceRight},
          {"reverse", reverse},     {"shift", shift},
          {"slice", slice},         {"some", some},
          {"sort", sort},           {"splice", splice},
          {"toString", toString},   {"unshift", unshift},
      } {}

APMPRuntimeValue APMPArrayCommandEvaluator::evaluateCommand(std::string_view name, APMPArrayValue& receiver,
                                                            std::span<const APMPRuntimeValue> arguments,
                                                            APMPScope& scope, platform::Error* error) const {
  platform::Error local;
  if (!error) error = &local;
  auto handler = handlers_.find(name);
  if (handler == handlers_.end()) {
    APMPSetError(error, kAPMPErrorNoSuchMethod);
    return {};
  }
  // The receiver must outlive callbacks that drop every other reference to it.
  APMPRuntimeValue array = APMPRuntimeValue::object(APMPValueKind::Array, &receiver);
  APMPArguments evaluated;
  if (!APMPEvaluateArguments(arguments, scope, evaluated, error)) return {};
  return handler->second(receiver, array, evaluated, scope, error);
}

APMPRuntimeValue APMPArrayMethodCall(APMPArrayValue& receiver, std::string_view method,
                                     std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                     platform::Error* error) {
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(method, receiver, arguments, scope, error);
}
