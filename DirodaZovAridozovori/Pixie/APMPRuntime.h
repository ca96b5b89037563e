#pragma once
// One Pixie interpreter instance: its scopes, object manager, module provider, limits and counters.
// Nothing is global: two runtimes share only the read-only opcode table.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "APMPBMessages.h"
#include "APMPMethodTables.h"
#include "APMPObjectManager.h"
#include "APMPRuntimeValue.h"
#include "APMPScope.h"

class APMPRuntime;

// Limits and host hooks of one runtime.
struct APMPRuntimeConfiguration {
  // Evaluations allowed between two resets of the instruction counter (one event).
  uint32_t instructionLimit = 1000000;
  // Nesting of statement evaluation (function calls included); keeps recursion off the native
  // stack's end.
  uint32_t maxEvaluationDepth = 600;
  // Nesting of program entity trees accepted by conversion.
  uint32_t maxEntityDepth = 200;
  // Bytes of strings and array slots a program may allocate between two counter resets.
  size_t allocationLimit = size_t(256) << 20;
  // Steps of native work (elements scanned or moved, bytes searched) a program may cause between
  // two counter resets: a loop of cheap-looking calls over large arrays or texts stays bounded.
  size_t workLimit = 50000000;
  // Method tables of arrays and strings; the built-in ones when left empty.
  APMPMethodTableHooks methodTables;
};

// A module creator: a new module value, or nothing.
using APMPModuleCreator = std::function<std::optional<APMPRuntimeValue>(APMPRuntime& runtime)>;

// Module creators by name (what "require" asks).
class APMPDynamicProvider {
 public:
  void setModuleCreator(std::string name, APMPModuleCreator creator);
  // Undefined without error when no creator is registered; kAPMPErrorModuleCreatorFailed when the
  // creator gives nothing.
  APMPRuntimeValue moduleForName(const std::string& name, APMPRuntime& runtime, platform::Error* error) const;

 private:
  std::unordered_map<std::string, APMPModuleCreator> creators_;
};

class APMPRuntime {
 public:
  explicit APMPRuntime(APMPRuntimeConfiguration configuration = {});
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  static int runtimeVersion() { return 0; }

  void setModuleCreator(std::string name, APMPModuleCreator creator);
  APMPDynamicProvider& provider() { return provider_; }

  // Evaluates converted top-level statements in the global scope; the last statement's value.
  // Stops at the first failing statement (its value stays the result, with the error).
  APMPRuntimeValue executeStatements(std::span<const APMPRuntimeValue> statements, platform::Error* error);
  // Converts each program entity and evaluates it in the global scope, in order; a conversion
  // failure ends the run like an evaluation failure.
  APMPRuntimeValue executeStatements(std::span<const apmpb_RuntimeEntity> entities, platform::Error* error);
  // A fresh child scope of the global scope.
  APMPRef<APMPScope> getRunScope();

  int32_t getInstructionCount(platform::Error* error = nullptr) const {
    return static_cast<int32_t>(instructionCount_);
  }
  // Also restarts the allocation and work allowances: all bound one event.
  void resetInstructionCount() {
    instructionCount_ = 0;
    allocated_ = 0;
    work_ = 0;
  }

  APMPScope& initialScope() { return *initScope_; }
  APMPScope& globalScope() { return *globalScope_; }
  APMPObjectManager& objectManager() { return objectManager_; }
  void addGarbageCollectionRoot(APMPObject* root) { objectManager_.addRoot(root); }
  void collectGarbage() { objectManager_.collectGarbage(); }
  const APMPRuntimeConfiguration& configuration() const { return configuration_; }
  const APMPMethodTableHooks& methodTables() const { return configuration_.methodTables; }

  // Hot path of every evaluation: the counter lives here, out of the programs' reach.
  bool countInstruction(platform::Error* error) {
    if (instructionCount_ >= configuration_.instructionLimit) {
      APMPSetError(error, kAPMPErrorInstructionLimit);
      return false;
    }
    ++instructionCount_;
    return true;
  }
  bool enterNesting(platform::Error* error) {
    if (depth_ >= configuration_.maxEvaluationDepth) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return false;
    }
    ++depth_;
    return true;
  }
  void leaveNesting() { --depth_; }
  bool chargeAllocation(size_t bytes, platform::Error* error);
  bool chargeWork(size_t units, platform::Error* error);

  // Runs body as an entry point: the runtime is current on this thread, and no C++ exception
  // escapes (one that would is reported as kAPMPErrorResourceLimit). Hosts wrap their calls into
  // program functions with it.
  APMPRuntimeValue guarded(platform::Error* error, const std::function<APMPRuntimeValue()>& body);

  // The runtime whose program runs on this thread (set by the entry points while they run), or
  // null. Allocation of program data is charged to it.
  static APMPRuntime* current();

  // Marks this runtime as running on the calling thread for the guard's life (nests).
  class Activation {
   public:
    explicit Activation(APMPRuntime& runtime);
    ~Activation();
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;

   private:
    APMPRuntime* previous_;
  };

 private:
  APMPRuntimeConfiguration configuration_;
  APMPObjectManager objectManager_;
  APMPRef<APMPScope> initScope_;
  APMPRef<APMPScope> globalScope_;
  APMPDynamicProvider provider_;
  uint32_t instructionCount_ = 0;
  uint32_t depth_ = 0;
  size_t allocated_ = 0;
  size_t work_ = 0;
};
