#include <cmath>

#include "APMPCommandSupport.h"

using namespace apmp_commands;

namespace {

Value add(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  const Value& a = args[0];
  const Value& b = args[1];
  if (a.isNumber() && b.isNumber()) return Value::number(a.numberValue() + b.numberValue());
  if (!APMPIsStringLike(a) && !APMPIsStringLike(b)) {
    double x = a.doubleValueOrError(error);
    if (APMPFailed(error)) return {};
    double y = b.doubleValueOrError(error);
    if (APMPFailed(error)) return {};
    return Value::number(x + y);
  }
  std::string text = a.stringValueOrError(error);
  if (APMPFailed(error)) return {};
  std::string right = b.stringValueOrError(error);
  if (APMPFailed(error)) return {};
  if (text.size() + right.size() > kAPMPMaxStringLength) return fail(error, kAPMPErrorResourceLimit);
  APMPAppendText(text, right);
  return APMPMakeString(std::move(text), error);
}

template <double (*op)(double, double)>
Value binary(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  double x = args[0].doubleValueOrError(error);
  if (APMPFailed(error)) return {};
  double y = args[1].doubleValueOrError(error);
  if (APMPFailed(error)) return {};
  return Value::number(op(x, y));
}

double subtract(double a, double b) { return a - b; }
double multiply(double a, double b) { return a * b; }
double divide(double a, double b) { return a / b; }
double modulo(double a, double b) { return std::fmod(a, b); }

Value negate(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 1, error)) return {};
  double x = args[0].doubleValueOrError(error);
  if (APMPFailed(error)) return {};
  return Value::number(-x);
}

Value firstOfTwo(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  return args[0];
}

Value identity(const APMPArguments& args, APMPScope&, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), 1, error)) return {};
  return args[0];
}

}  // namespace

APMPMathCommandEvaluator::APMPMathCommandEvaluator() {
  handlers_ = {
      {"0", &evaluated<add>},
      {"37", &evaluated<binary<subtract>>},
      {"26", &evaluated<binary<multiply>>},
      {"10", &evaluated<binary<divide>>},
      {"25", &evaluated<binary<modulo>>},
      {"27", &evaluated<negate>},
      {"32", &evaluated<firstOfTwo>},
      {"33", &evaluated<firstOfTwo>},
      {"34", &evaluated<identity>},
      {"35", &evaluated<identity>},
  };
}
