#include "APMPEventEditing.h"

#include "APMPControlValue.h"
#include "APMPEvaluator.h"
#include "APMPEventNativeFunctions.h"
#include "APMPFunctionValue.h"

namespace {

// Result codes of edit callbacks whose edits are thrown away.
constexpr int32_t kResultDiscardEdits = 2;
constexpr int32_t kResultNotANumber = -1;

}  // namespace

APMPEventEditing::APMPEventEditing(APMPRuntimeConfiguration configuration)
    : runtime_(std::make_unique<APMPRuntime>(std::move(configuration))),
      context_(std::make_shared<APMPEventContext>()),
      handler_(APMPMake<APMPEditingCallbackHandler>()) {
  runtime_->addGarbageCollectionRoot(handler_.get());
  APMPRef<APMPEditingCallbackHandler> handler = handler_;
  setModuleCreator("internal.registerCallback", [handler](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPNativeFunctionValue::make<APMPRegisterCallbackNativeFunctionValue>(runtime, handler);
  });
  std::shared_ptr<APMPEventContext> context = context_;
  setModuleCreator("internal.eventLogger", [context](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPNativeFunctionValue::make<APMPEventLogger>(runtime, context);
  });
}

APMPEventEditing::~APMPEventEditing() {
  // Callbacks close over scopes of the runtime: let them go before the runtime breaks its cycles.
  handler_->clear();
  runtime_.reset();
}

void APMPEventEditing::setModuleCreator(std::string name, APMPModuleCreator creator) {
  runtime_->setModuleCreator(std::move(name), std::move(creator));
}

std::unique_ptr<APMPEventEditing> APMPEventEditing::hostWithProgram(const APMPBProgram& program,
                                                                   const APMPConfigurationModules& modules,
                                                                   platform::Error* error,
                                                                   APMPRuntimeConfiguration configuration) {
  auto host = std::make_unique<APMPEventEditing>(std::move(configuration));
  host->registerConfigurationModules(modules);
  if (!host->loadProgram(program, error)) return nullptr;
  return host;
}

void APMPEventEditing::registerConfigurationModules(const APMPConfigurationModules& modules) {
  APMPKeyValueStore::Block settings = modules.settings;
  APMPObjectProvider::Block appMetadata = modules.appMetadata;
  std::shared_ptr<APMPLoggerDelegate> logger = modules.logger;
  setModuleCreator("internal.remoteConfig", [settings](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPKeyValueStore::make(runtime, "internal.remoteConfig", settings);
  });
  setModuleCreator("internal.appMetadata", [appMetadata](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPNativeFunctionValue::make<APMPObjectProvider>(runtime, "internal.appMetadata", appMetadata);
  });
  setModuleCreator("internal.logger", [logger](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPMessageLogger::make(runtime, "internal.logger", logger);
  });
}

// MARK: - Loading

bool APMPEventEditing::loadProgram(const APMPBProgram& program, platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  const apmpb_Program& nano = program.nano();
  APMPRuntimeValue last = runtime_->executeStatements(
      std::span<const apmpb_RuntimeEntity>(nano.instructions, nano.instructions_count), out);
  bool loaded = !APMPFailed(out);
  if (loaded && APMPControlValue::isControl(last)) {
    APMPSetEditingError(out, kAPMPEditingErrorControlValueAtTopLevel);
    loaded = false;
  }
  if (loaded && nano.activities) {
    const apmpb_OgtActivities& activities = *nano.activities;
    for (pb_size_t i = 0; i < activities.activities_count && loaded; ++i)
      loaded = loadActivityData(activities.activities[i], out);
  }
  runtime_->collectGarbage();
  return loaded;
}

bool APMPEventEditing::loadActivityData(const apmpb_OgtActivity& activity, platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  const std::string name = activity.name ? activity.name : "";
  for (pb_size_t i = 0; i < activity.data_count; ++i) {
    APMPRuntimeValue rule =
        runtime_->executeStatements(std::span<const apmpb_RuntimeEntity>(&activity.data[i], 1), out);
    if (APMPFailed(out)) return false;
    if (!rule.isMap()) {
      APMPSetEditingError(out, kAPMPEditingErrorActivityDataNotMap);
      return false;
    }
    if (!registerRuleWithName(name, rule, out)) return false;
  }
  return true;
}

bool APMPEventEditing::registerRuleWithName(const std::string& name, const APMPRuntimeValue& rule,
                                            platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  APMPRef<APMPScope> scope = runtime_->getRunScope();
  APMPRuntimeValue function = scope->valueForName(name);
  if (!function.isFunction()) {
    APMPSetEditingError(out, kAPMPEditingErrorActivityNotFunction);
    return false;
  }
  runtime_->guarded(out, [&] {
    return function.asFunction()->invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue>(&rule, 1), *scope,
                                                                out);
  });
  return !APMPFailed(out);
}

// MARK: - Events

bool APMPEventEditing::handleEvent(std::shared_ptr<APMPEvent> event, platform::Error* error) {
  platform::Error local;
  platform::Error* out = error ? error : &local;
  context_->setInputEvent(std::move(event));
  runtime_->resetInstructionCount();
  APMPRef<APMPScope> scope = runtime_->getRunScope();
  runtime_->guarded(out, [&] {
    triggerCallbacks(*scope, out);
    return APMPRuntimeValue();
  });
  scope.reset();
  runtime_->collectGarbage();
  if (APMPFailed(out)) return false;
  return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const { return !context_->outputEvent()->isEqualToEvent(*context_->inputEvent()); }

bool APMPEventEditing::triggerCallbacks(APMPScope& scope, platform::Error* error) {
  APMPRuntimeValue eventObject = APMPEventNativeFunctions::make(scope, context_);
  for (const APMPEditingCallbackHandler::Callback& callback : handler_->editCallbacks()) {
    std::shared_ptr<APMPEvent> before = context_->outputEvent()->copy();
    int32_t code = invokeCallback(callback.function, eventObject, scope, error);
    if (APMPFailed(error)) {
      context_->setOutputEvent(std::move(before));
      return false;
    }
    if (code == kResultDiscardEdits || code == kResultNotANumber) context_->setOutputEvent(std::move(before));
  }
  for (const APMPEditingCallbackHandler::Callback& callback : handler_->createCallbacks()) {
    invokeCallback(callback.function, eventObject, scope, error);
    if (APMPFailed(error)) return false;
  }
  return true;
}

int32_t APMPEventEditing::invokeCallback(const APMPRuntimeValue& callback, const APMPRuntimeValue& event,
                                         APMPScope& scope, platform::Error* error) {
  APMPFunctionValue* function = callback.asFunction();
  if (!function) return kResultNotANumber;
  APMPRuntimeValue result =
      function->invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue>(&event, 1), scope, error);
  if (APMPFailed(error)) return kResultDiscardEdits;
  if (!result.isNumber()) return kResultNotANumber;
  return APMPToInt32(result.numberValue());
}
