#pragma once
// What one handled event looks like to the host: the event as logged, the working copy that edit
// callbacks change, and the events the program created for it.

#include <memory>
#include <string>
#include <vector>

#include "APMPEvent.h"

class APMPEventContext {
 public:
  // The input is the empty event (empty name, timestamp 0, no parameters).
  APMPEventContext();
  explicit APMPEventContext(std::shared_ptr<APMPEvent> event);

  // The output becomes a copy of the event and the created events are cleared.
  void setInputEvent(std::shared_ptr<APMPEvent> event);
  const std::shared_ptr<APMPEvent>& inputEvent() const { return inputEvent_; }
  const std::shared_ptr<APMPEvent>& outputEvent() const { return outputEvent_; }
  void setOutputEvent(std::shared_ptr<APMPEvent> event) { outputEvent_ = std::move(event); }

  // Appends a created event; each parameter is coerced against the input event's parameter of the
  // same name.
  void logEventWithName(std::string name, double timestamp, const platform::Dictionary& parameters);
  const std::vector<std::shared_ptr<APMPEvent>>& eventsToLog() const { return loggedEvents_; }

 private:
  std::vector<std::shared_ptr<APMPEvent>> loggedEvents_;
  std::shared_ptr<APMPEvent> inputEvent_;
  std::shared_ptr<APMPEvent> outputEvent_;
};
