#include "APMPCommandSupport.h"

using namespace apmp_commands;

namespace {

bool int32Operands(const APMPArguments& args, size_t count, int32_t* out, Error* error) {
  if (!APMPCheckArgumentCount(args.size(), count, error)) return false;
  for (size_t i = 0; i < count; ++i) {
    double number = args[i].doubleValueOrError(error);
    if (APMPFailed(error)) return false;
    out[i] = APMPToInt32(number);
  }
  return true;
}

template <int64_t (*op)(int32_t, int32_t)>
Value binary(const APMPArguments& args, APMPScope&, Error* error) {
  int32_t operands[2];
  if (!int32Operands(args, 2, operands, error)) return {};
  return Value::number(static_cast<double>(op(operands[0], operands[1])));
}

int64_t bitAnd(int32_t a, int32_t b) { return a & b; }
int64_t bitOr(int32_t a, int32_t b) { return a | b; }
int64_t bitXor(int32_t a, int32_t b) { return a ^ b; }
// Shifts work on the unsigned bits so that no shift is undefined behaviour.
int64_t shiftLeft(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) << (static_cast<uint32_t>(b) & 31));
}
int64_t shiftRight(int32_t a, int32_t b) {
  uint32_t count = static_cast<uint32_t>(b) & 31;
  uint32_t bits = static_cast<uint32_t>(a) >> count;
  if (a < 0 && count) bits |= ~(~0u >> count);
  return static_cast<int32_t>(bits);
}
int64_t shiftRightUnsigned(int32_t a, int32_t b) {
  return static_cast<uint32_t>(a) >> (static_cast<uint32_t>(b) & 31);
}

Value bitNot(const APMPArguments& args, APMPScope&, Error* error) {
  int32_t operand;
  if (!int32Operands(args, 1, &operand, error)) return {};
  return Value::number(static_cast<double>(~operand));
}

}  // namespace

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator() {
  handlers_ = {
      {"56", &evaluated<binary<bitAnd>>},     {"59", &evaluated<binary<bitOr>>},
      {"62", &evaluated<binary<bitXor>>},     {"58", &evaluated<bitNot>},
      {"57", &evaluated<binary<shiftLeft>>},  {"60", &evaluated<binary<shiftRight>>},
      {"61", &evaluated<binary<shiftRightUnsigned>>},
  };
}
