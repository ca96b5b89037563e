#pragma once
// One-shot timers. Deadlines are measured on the installed clock's uptime, so a fake clock's
// advance() fires what has become due.

#include <cstdint>
#include <functional>

namespace platform {

class TimerService {
 public:
  using TimerID = uint64_t;

  static TimerService& shared();

  // Runs fire on the service's thread once delaySeconds have passed (at once when <= 0).
  // fire should only hand work to a queue. Returns an ID for cancel().
  TimerID schedule(double delaySeconds, std::function<void()> fire);
  // True when the timer was still pending: it will not fire. False when it already fired
  // (or was cancelled or never existed).
  bool cancel(TimerID id);
  // Number of pending timers.
  size_t pendingCount();
  // The installed clock moved: re-check deadlines.
  void clockChanged();

  ~TimerService();

 private:
  TimerService();
  struct Impl;
  Impl* impl_;
};

}  // namespace platform
