#pragma once
// The engine's collection switch: whether analytics collection runs, as the host, the stored choice
// and the setup decide. Turning it on starts the engine first; the sessions and the components hear
// every switch. Owned by the engine.
//
// Threads. setEnabled and the readers may be called from any thread; setEnabledOnWorkerQueue runs
// on the worker queue only and checks it.
#include <atomic>

class APMMeasurement;

class APMCollectionSwitch {
 public:
  explicit APMCollectionSwitch(APMMeasurement& engine) : engine_(engine) {}
  APMCollectionSwitch(const APMCollectionSwitch&) = delete;
  APMCollectionSwitch& operator=(const APMCollectionSwitch&) = delete;

  // The switch a new engine starts with: off when deactivated, else the stored choice, else the
  // setup's. Called once, as the engine is made.
  void switchAtCreation();
  bool shouldEnableMeasurement() const;
  // Queues the switch behind everything submitted before it.
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);

  bool isEnabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  // The start-up's reports must read the switch as on while it writes them: it turns the switch on
  // for them and puts back what this returns.
  bool exchangeEnabled(bool enabled) { return enabled_.exchange(enabled); }

 private:
  APMMeasurement& engine_;
  std::atomic<bool> enabled_{false};
  // Written once, before the engine is handed out.
  bool wasEnabledDuringInitialization_ = false;
};
