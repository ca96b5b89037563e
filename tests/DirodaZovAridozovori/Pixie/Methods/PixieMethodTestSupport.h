#pragma once
// Helpers for the array and string method tests: a runtime with a run scope, values built from C++,
// native callbacks backed by lambdas, and a compact text form of values for exact comparisons.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "APMPArrayValue.h"
#include "APMPControlValue.h"
#include "APMPFunctionValue.h"
#include "APMPObjectManager.h"
#include "APMPRuntime.h"
#include "APMPStatementValue.h"
#include "APMPValueComparison.h"
#include "Methods/APMPArrayCommandEvaluator.h"
#include "Methods/APMPStringCommandEvaluator.h"

namespace pixietest {

using V = APMPRuntimeValue;
using Callback = std::function<V(std::span<const V> arguments, platform::Error* error)>;

inline V num(double d) { return V::number(d); }
inline V str(std::string s) { return V::string(std::move(s)); }
inline V boolean(bool b) { return V::boolean(b); }
inline V undef() { return V::undefined(); }
inline V hole() { return APMPArrayValue::hole(); }
inline V stmt(const char* name, APMPValueList arguments) {
  return APMPStatementValue::make(name, std::move(arguments));
}

// A native function whose body is a C++ lambda.
class LambdaFunction final : public APMPFunctionValue {
 public:
  LambdaFunction(Callback body, APMPRef<APMPScope> scope)
      : APMPFunctionValue("lambda", {}, {}, std::move(scope)), body_(std::move(body)) {}
  APMPRuntimeValue invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments, APMPScope&,
                                                platform::Error* error) override {
    return body_(arguments, error);
  }

 private:
  Callback body_;
};

// The text form used by the assertions: numbers as shortest integers or decimals, strings quoted,
// arrays bracketed, holes as "_".
inline std::string describe(const V& value) {
  switch (value.kind()) {
    case APMPValueKind::Undefined: return "undefined";
    case APMPValueKind::Null: return "null";
    case APMPValueKind::Hole: return "_";
    case APMPValueKind::Boolean: return value.booleanValue() ? "true" : "false";
    case APMPValueKind::Number: {
      double d = value.numberValue();
      if (std::isnan(d)) return "NaN";
      std::ostringstream out;
      out.precision(15);
      out << d;
      return out.str();
    }
    case APMPValueKind::String: return "'" + std::string(value.text()) + "'";
    case APMPValueKind::Array: {
      std::string out = "[";
      const auto& elements = value.asArray()->elements();
      for (size_t i = 0; i < elements.size(); ++i) {
        if (i) out += ",";
        out += describe(elements[i]);
      }
      return out + "]";
    }
    default: return "<other>";
  }
}

class PixieMethodTest : public ::testing::Test {
 protected:
  PixieMethodTest() : activation_(runtime_) { scope_ = runtime_.getRunScope(); }

  V array(APMPValueList elements) { return APMPObjectManager::arrayValueWithArray(std::move(elements), *scope_); }
  V native(Callback body) {
    return APMPObjectManager::track(APMPValueKind::Function, new LambdaFunction(std::move(body), scope_), *scope_);
  }

  // Calls an array method directly with already-built argument values.
  V callArray(const V& receiver, std::string_view method, APMPValueList arguments, platform::Error& error) {
    return APMPArrayMethodCall(*receiver.asArray(), method, arguments, *scope_, &error);
  }
  V callString(const V& receiver, std::string_view method, APMPValueList arguments, platform::Error& error) {
    return APMPStringMethodCall(*receiver.asString(), method, arguments, *scope_, &error);
  }

 private:
  APMPRuntime runtime_;
  APMPRuntime::Activation activation_;
  APMPRef<APMPScope> scope_;
};

}  // namespace pixietest
