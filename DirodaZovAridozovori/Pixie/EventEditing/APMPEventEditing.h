#pragma once
// The event-editing host: loads one program and applies it to events.
//
// Loading runs the program's top-level statements, then each activity's function once per data
// map; those calls register edit and create callbacks. Each handled event then runs every edit
// callback in ascending priority on a working copy of the event, and every create callback after
// them. All work happens on the queue that owns the host (the measurement worker queue).

#include <memory>
#include <string>

#include "APMPBMessages.h"
#include "APMPEditingCallbackHandler.h"
#include "APMPEvent.h"
#include "APMPEventContext.h"
#include "APMPEventEditingErrors.h"
#include "APMPNativeModules.h"
#include "APMPRuntime.h"

// The modules a host of the measurement configuration offers: "internal.remoteConfig" (the
// settings texts), "internal.appMetadata" (application facts) and "internal.logger".
struct APMPConfigurationModules {
  APMPKeyValueStore::Block settings;
  APMPObjectProvider::Block appMetadata;
  std::shared_ptr<APMPLoggerDelegate> logger;
};

class APMPEventEditing {
 public:
  // A new host with the configuration's modules and the program loaded; nullptr with the error
  // when the program does not load. The measurement configuration and the pixie-run tool both load
  // programs through here.
  static std::unique_ptr<APMPEventEditing> hostWithProgram(const APMPBProgram& program,
                                                           const APMPConfigurationModules& modules,
                                                           platform::Error* error,
                                                           APMPRuntimeConfiguration configuration = {});

  explicit APMPEventEditing(APMPRuntimeConfiguration configuration = {});
  ~APMPEventEditing();
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  void setModuleCreator(std::string name, APMPModuleCreator creator);
  void registerConfigurationModules(const APMPConfigurationModules& modules);

  // False with the error when the program does not load; callbacks registered before the failure
  // stay, so a caller drops a host that failed to load.
  bool loadProgram(const APMPBProgram& program, platform::Error* error);
  bool loadActivityData(const apmpb_OgtActivity& activity, platform::Error* error);
  bool registerRuleWithName(const std::string& name, const APMPRuntimeValue& rule, platform::Error* error);

  // Runs the callbacks on the event. True when the event was edited or events were created;
  // false otherwise and on error (the output event is then as it was before the failing edit
  // callback).
  bool handleEvent(std::shared_ptr<APMPEvent> event, platform::Error* error);
  bool hasEdits() const;
  bool hasCreatedEvents() const { return !context_->eventsToLog().empty(); }
  const APMPEventContext& eventContext() const { return *context_; }

  APMPRuntime& runtime() { return *runtime_; }
  size_t callbackCount() const { return handler_->count(); }

 private:
  bool triggerCallbacks(APMPScope& scope, platform::Error* error);
  // The callback's result code: its number result as a 32-bit integer, -1 for a result of any other
  // kind, 2 on error.
  int32_t invokeCallback(const APMPRuntimeValue& callback, const APMPRuntimeValue& event, APMPScope& scope,
                         platform::Error* error);

  std::unique_ptr<APMPRuntime> runtime_;
  std::shared_ptr<APMPEventContext> context_;
  APMPRef<APMPEditingCallbackHandler> handler_;
};
