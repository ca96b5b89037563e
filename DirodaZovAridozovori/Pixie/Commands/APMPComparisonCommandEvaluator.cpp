#include "APMPCommandSupport.h"
#include "APMPValueComparison.h"

using namespace apmp_commands;

namespace {

// Exactly two arguments, checked before either is evaluated.
template <bool (*compare)(const Value&, const Value&, Error*)>
Value comparison(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  Value a = APMPEvaluator::evaluateStatement(args[0], scope, error);
  if (APMPFailed(error)) return {};
  Value b = APMPEvaluator::evaluateStatement(args[1], scope, error);
  if (APMPFailed(error)) return {};
  bool result = compare(a, b, error);
  if (APMPFailed(error)) return {};
  return Value::boolean(result);
}

bool looseEqual(const Value& a, const Value& b, Error*) { return APMPLooseEquals(a, b); }
bool looseNotEqual(const Value& a, const Value& b, Error*) { return !APMPLooseEquals(a, b); }
bool strictEqual(const Value& a, const Value& b, Error*) { return APMPStrictEquals(a, b); }
bool strictNotEqual(const Value& a, const Value& b, Error*) { return !APMPStrictEquals(a, b); }
bool lessThan(const Value& a, const Value& b, Error* e) { return APMPCompare(a, b, e) == -1; }
bool lessOrEqual(const Value& a, const Value& b, Error* e) { return APMPCompare(a, b, e) <= 0; }
bool greaterThan(const Value& a, const Value& b, Error* e) { return APMPCompare(b, a, e) == -1; }
bool greaterOrEqual(const Value& a, const Value& b, Error* e) { return APMPCompare(b, a, e) <= 0; }

}  // namespace

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() {
  handlers_ = {
      {"12", &comparison<looseEqual>},  {"29", &comparison<looseNotEqual>},
      {"20", &comparison<strictEqual>}, {"21", &comparison<strictNotEqual>},
      {"23", &comparison<lessThan>},    {"24", &comparison<lessOrEqual>},
      {"18", &comparison<greaterThan>}, {"19", &comparison<greaterOrEqual>},
  };
}
