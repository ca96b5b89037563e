#include "APMPCommandSupport.h"

using namespace apmp_commands;

namespace {

// "and" (wantTruth false) and "or" (true): the first value when its truth decides, else the second.
template <bool decidesOn>
Value shortCircuit(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 2, error)) return {};
  Value first = APMPEvaluator::evaluateStatement(args[0], scope, error);
  if (APMPFailed(error)) return {};
  bool truth = first.booleanValueOrError(error);
  if (APMPFailed(error)) return {};
  if (truth == decidesOn) return first;
  return APMPEvaluator::evaluateStatement(args[1], scope, error);
}

Value notCommand(const APMPStatementValue& statement, APMPScope& scope, Error* error) {
  const APMPValueList& args = statement.arguments();
  if (!APMPCheckArgumentCount(args.size(), 1, error)) return {};
  bool value = truth(args[0], scope, error);
  if (APMPFailed(error)) return {};
  return Value::boolean(!value);
}

}  // namespace

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator() {
  handlers_ = {
      {"1", &shortCircuit<false>},
      {"30", &shortCircuit<true>},
      {"28", &notCommand},
  };
}
