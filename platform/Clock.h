#pragma once
// Wall time and uptime. Everything in the SDK reads time through here, so tests can install a
// fake clock and move time by hand.

#include <memory>
#include <mutex>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970.
  virtual double now() const = 0;
  // Seconds since boot, counting suspended time (CLOCK_BOOTTIME).
  virtual double uptime() const = 0;
};

class SystemClock final : public Clock {
 public:
  double now() const override;
  double uptime() const override;
};

// A clock that moves only when told. advance() also wakes the timer service, so timers armed
// against this clock fire as if the time had passed.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double now = 1700000000.0, double uptime = 1000.0) : now_(now), uptime_(uptime) {}
  double now() const override;
  double uptime() const override;
  void setNow(double now);
  void advance(double seconds);

 private:
  mutable std::mutex mutex_;
  double now_;
  double uptime_;
};

// The installed clock (the system clock unless a test installed another).
const Clock& clock();
// Installs a clock for the whole process; nullptr restores the system clock.
void installClock(std::shared_ptr<Clock> clock);

inline double now() { return clock().now(); }
inline double uptime() { return clock().uptime(); }

}  // namespace platform
