#include "APMPRuntime.h"

#include "APMPEvaluator.h"
#include "APMPNativeModules.h"
#include "APMPRuntimeEntityConverter.h"

namespace {
thread_local APMPRuntime* tCurrentRuntime = nullptr;
}

APMPRuntime* APMPRuntime::current() { return tCurrentRuntime; }

APMPRuntime::Activation::Activation(APMPRuntime& runtime) : previous_(tCurrentRuntime) {
  tCurrentRuntime = &runtime;
}
APMPRuntime::Activation::~Activation() { tCurrentRuntime = previous_; }

void APMPDynamicProvider::setModuleCreator(std::string name, APMPModuleCreator creator) {
  creators_[std::move(name)] = std::move(creator);
}

APMPRuntimeValue APMPDynamicProvider::moduleForName(const std::string& name, APMPRuntime& runtime,
                                                    platform::Error* error) const {
  auto it = creators_.find(name);
  if (it == creators_.end() || !it->second) return {};
  std::optional<APMPRuntimeValue> module = it->second(runtime);
  if (!module) {
    APMPSetError(error, kAPMPErrorModuleCreatorFailed);
    return {};
  }
  return *module;
}

APMPRuntime::APMPRuntime(APMPRuntimeConfiguration configuration) : configuration_(std::move(configuration)) {
  if (!configuration_.methodTables.arrayMethods && !configuration_.methodTables.stringMethods)
    configuration_.methodTables = APMPBuiltinMethodTables();
  initScope_ = APMPMake<APMPScope>(this, nullptr);
  globalScope_ = initScope_->createChildScope();
  objectManager_.addRoot(initScope_.get());
  objectManager_.addRoot(globalScope_.get());
  globalScope_->addValue("require", APMPRequire::make(*this));
  setModuleCreator("internal.platform", [](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPRuntimePlatform::make(runtime);
  });
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  // Break every cycle, reachable or not, then let the scopes go.
  objectManager_.sweepAll();
  globalScope_->clear();
  initScope_->clear();
}

void APMPRuntime::setModuleCreator(std::string name, APMPModuleCreator creator) {
  provider_.setModuleCreator(std::move(name), std::move(creator));
}

APMPRuntimeValue APMPRuntime::executeStatements(std::span<const APMPRuntimeValue> statements,
                                                platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  return guarded(out, [&] {
    APMPRuntimeValue result;
    for (const APMPRuntimeValue& statement : statements) {
      result = APMPEvaluator::evaluateStatement(statement, *globalScope_, out);
      if (APMPFailed(out)) return result;
    }
    return result;
  });
}

APMPRuntimeValue APMPRuntime::executeStatements(std::span<const apmpb_RuntimeEntity> entities,
                                                platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  return guarded(out, [&] {
    APMPRuntimeValue result;
    for (const apmpb_RuntimeEntity& entity : entities) {
      APMPRuntimeValue statement =
          APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, out, configuration_.maxEntityDepth);
      if (APMPFailed(out)) return APMPRuntimeValue();
      result = APMPEvaluator::evaluateStatement(statement, *globalScope_, out);
      if (APMPFailed(out)) return result;
    }
    return result;
  });
}

APMPRuntimeValue APMPRuntime::guarded(platform::Error* error, const std::function<APMPRuntimeValue()>& body) {
  Activation activation(*this);
  const uint32_t depth = depth_;
  try {
    return body();
  } catch (const std::exception&) {
    // Memory ran out despite the bounds (or a container refused to grow): the run ends like any
    // other over-limit run, and the runtime stays usable.
    depth_ = depth;
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
}

APMPRef<APMPScope> APMPRuntime::getRunScope() { return globalScope_->createChildScope(); }

bool APMPRuntime::chargeAllocation(size_t bytes, platform::Error* error) {
  if (bytes > configuration_.allocationLimit || allocated_ > configuration_.allocationLimit - bytes) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return false;
  }
  allocated_ += bytes;
  return true;
}

bool APMPRuntime::chargeWork(size_t units, platform::Error* error) {
  if (units > configuration_.workLimit || work_ > configuration_.workLimit - units) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return false;
  }
  work_ += units;
  return true;
}
