#pragma once
// A named one-shot timer that runs its block on a given queue.
//
// An alarm holds at most one pending firing: arming again replaces the earlier arming, and
// cancelling or destroying the alarm drops it. The alarm may be armed, cancelled, queried and
// destroyed from any thread: every arming gets a generation number, and a firing runs its block
// only when its generation is still the current one, checked under the alarm's lock on the alarm's
// queue. So a cancelled or replaced arming never runs its block, even when its timer had already
// fired and its firing was waiting on the queue. The block may safely re-arm or cancel its alarm.
// Deadlines follow the installed clock (a fake clock's advance() fires what became due).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"

class APMAlarm {
 public:
  // initWithDispatchQueue:name: an empty name becomes "Timer".
  APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, const std::string& name);
  // Cancels any pending firing.
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Fires block on the queue after delaySeconds (at once when <= 0), replacing any earlier
  // arming. An empty block is logged (2000) and changes nothing.
  void runAfterDelay(double delaySeconds, std::function<void()> block);
  void cancel();
  bool hasActiveTimer() const;
  // The wall-clock time (seconds since 1970) of the pending firing, or nothing when idle.
  std::optional<double> scheduledTimestamp() const;
  const std::string& name() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};
