#pragma once
// Joins the configuration's event-editing program to the engine: loads a configuration's program
// into a Pixie event-editing host with the configuration's modules, and runs it on the events of
// the event road.

#include <memory>

#include "APMEvent.h"
#include "APMEngineComponent.h"
#include "EventEditing/APMPEventEditing.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Error.h"

class APMEventEditingHost final : public APMRemoteConfigEventEditing {
 public:
  explicit APMEventEditingHost(std::unique_ptr<APMPEventEditing> editing) : editing_(std::move(editing)) {}

  // The configuration's program loader: a host over the program with "internal.remoteConfig" (the
  // settings as they stood when the program was loaded), "internal.appMetadata" and "internal.logger"; nullptr with the
  // error when the program does not load.
  static std::shared_ptr<APMRemoteConfigEventEditing> loadProgram(const APMPBProgram& program,
                                                                  const APMRemoteConfig& config,
                                                                  platform::Error* error);
  // The engine's editing step; a host of another kind edits nothing.
  static APMEventEditingOutcome runEventEditing(APMRemoteConfigEventEditing& host, const APMEditEventForm& event);

  // Failed when the program reported an error (or the host ran out of memory): the caller then
  // keeps the event as logged.
  APMEventEditingOutcome handleEvent(const APMEditEventForm& event);
  APMPEventEditing& editing() { return *editing_; }

 private:
  std::unique_ptr<APMPEventEditing> editing_;
};

// The editing step of an engine's event road. Configurations are given the program loader as the
// engine is made, so the configuration its start-up loads already carries its program.
class APMEventEditingComponent final : public APMEngineComponent {
 public:
  void attachToEngine(const std::shared_ptr<APMEngineContext>& context) override;
  std::optional<APMEventEditingOutcome> editEvent(APMRemoteConfigEventEditing& program,
                                                  const APMEditEventForm& event) override {
    return APMEventEditingHost::runEventEditing(program, event);
  }
};

std::shared_ptr<APMPEvent> APMPEventFromEditEvent(const APMEditEventForm& event);
APMEditEventForm APMEditEventFromPEvent(const APMPEvent& event);
