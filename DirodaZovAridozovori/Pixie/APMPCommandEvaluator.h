#pragma once
// The command evaluators: each serves a family of opcodes through its handler table; the shared
// registrar maps every opcode to the handler that serves it.

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "APMPStatementValue.h"

class APMPCommandEvaluator {
 public:
  virtual ~APMPCommandEvaluator() = default;
  // Runs the handler of the statement's opcode; undefined for an opcode this evaluator lacks.
  virtual APMPRuntimeValue evaluateCommand(const APMPStatementValue& statement, APMPScope& scope,
                                           platform::Error* error) const;
  virtual std::vector<std::string> allSupportedCommands() const;
  APMPCommandHandler handlerForCommand(std::string_view opcode) const;

 protected:
  std::unordered_map<std::string, APMPCommandHandler> handlers_;
};

class APMPBitwiseCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPBitwiseCommandEvaluator();
};
class APMPComparisonCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPComparisonCommandEvaluator();
};
class APMPControlCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPControlCommandEvaluator();
};
class APMPLogicalCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPLogicalCommandEvaluator();
};
class APMPLoopCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPLoopCommandEvaluator();
};
class APMPMathCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPMathCommandEvaluator();
};
class APMPVariableCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPVariableCommandEvaluator();
};

// Statements whose name is no opcode: a call of the function of that name in scope (silently
// undefined when the name holds no function).
APMPRuntimeValue APMPFunctionEvaluatorEvaluate(const APMPStatementValue& statement, APMPScope& scope,
                                               platform::Error* error);

// The process-wide opcode table, built once, read-only afterwards.
class APMPCommandRegistrar {
 public:
  static const APMPCommandRegistrar& sharedInstance();
  // The handler of an opcode, or the function evaluator for any other name.
  APMPCommandHandler handlerForName(std::string_view name) const;
  const APMPCommandEvaluator* evaluatorForOpcode(std::string_view opcode) const;

 private:
  APMPCommandRegistrar();
  void registerEvaluator(const APMPCommandEvaluator* evaluator);
  std::vector<std::unique_ptr<APMPCommandEvaluator>> evaluators_;
  std::unordered_map<std::string, const APMPCommandEvaluator*> commandEvaluators_;
};
