#pragma once
// The components an engine was made with, in the order it calls them, and the context it hands
// them. Filled once, as the engine is made; read-only after that, from any queue.
#include <memory>

#include "APMEngineComponent.h"

class APMMeasurement;

class APMEngineComponentSet {
 public:
  // Gives every component the engine's context (null entries are dropped).
  void attach(const std::shared_ptr<APMMeasurement>& engine, APMEngineComponentList components);

  const APMEngineComponentList& list() const { return components_; }
  // Those that act at that moment of every event, in list order.
  const APMEngineComponentList& actingAt(APMEngineEventMoment moment) const {
    switch (moment) {
      case APMEngineEventMoment::kEditEvent:
        return editing_;
      case APMEngineEventMoment::kEventWillBeWritten:
        return seeingWritten_;
      case APMEngineEventMoment::kEventWillBeStored:
        break;
    }
    return seeingStored_;
  }
  // What the components were given (tests attach components of their own to it).
  const std::shared_ptr<APMEngineContext>& context() const { return context_; }

  // Calls moment on every component, in list order.
  template <typename Moment>
  void forEach(const Moment& moment) const {
    for (const auto& component : components_) moment(*component);
  }

 private:
  std::shared_ptr<APMEngineContext> context_;
  APMEngineComponentList components_;
  APMEngineComponentList editing_;
  APMEngineComponentList seeingWritten_;
  APMEngineComponentList seeingStored_;
};
