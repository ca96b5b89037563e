#pragma once
// A part of the SDK that joins the engine's work at the engine's own moments. Every moment has an
// empty default, so a component overrides only the moments it acts at. The engine calls its
// components in the order APMEngineComponents.cpp lists them; it never names one.
//
// Threads: attachToEngine runs on the thread making the engine, before any other moment; every
// other moment runs on the engine's worker queue.

#include <memory>
#include <vector>

#include "APMEngineContext.h"

class APMEngineComponent {
 public:
  virtual ~APMEngineComponent() = default;

  // The engine this component belongs to. The context never outlives the engine's use of it: a
  // component may keep it for as long as it lives.
  virtual void attachToEngine(const std::shared_ptr<APMEngineContext>& context) { (void)context; }

  // ---- Start-up (once per engine, at its first successful start).
  // The last step: the start-up reports are queued and the engine is about to take events.
  virtual void startUpDidFinish() {}

  // ---- Collection switch: collection was switched on after a start, or switched off.
  virtual void collectionDidSwitch(bool enabled) { (void)enabled; }

  // ---- Configuration fetch: after a fetch that renewed or kept the configuration, once the
  // engine has made (or postponed) the upload attempt that follows it.
  virtual void configurationFetchDidEnd() {}

  // ---- Upload: an upload attempt is about to read its batch.
  virtual void uploadWillStart() {}
};

using APMEngineComponentList = std::vector<std::shared_ptr<APMEngineComponent>>;
