#include "platform/Clock.h"

#include <atomic>
#include <vector>
#include <time.h>

#include "platform/Timer.h"

namespace platform {

namespace {
double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Nothing here is ever destroyed: detached threads (timers, queues) may still read the time while
// the process runs its exit-time destructors.
struct ClockState {
  SystemClock system;
  std::mutex installMutex;
  // The installed clock is kept alive here; readers only load the raw pointer. Replaced clocks
  // stay alive too, since a reader on another thread may still hold one.
  std::vector<std::shared_ptr<Clock>> installed;
};
ClockState& state() {
  static ClockState* shared = new ClockState();
  return *shared;
}
std::atomic<const Clock*> gCurrent{nullptr};
}  // namespace

double SystemClock::now() const { return readClock(CLOCK_REALTIME); }
double SystemClock::uptime() const { return readClock(CLOCK_BOOTTIME); }

double FakeClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

double FakeClock::uptime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uptime_;
}

void FakeClock::setNow(double now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = now;
  }
  TimerService::shared().clockChanged();
}

void FakeClock::advance(double seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += seconds;
    uptime_ += seconds;
  }
  TimerService::shared().clockChanged();
}

const Clock& clock() {
  const Clock* current = gCurrent.load(std::memory_order_acquire);
  return current ? *current : state().system;
}

void installClock(std::shared_ptr<Clock> clock) {
  auto& shared = state();
  std::lock_guard<std::mutex> lock(shared.installMutex);
  const Clock* current = clock.get();
  if (clock) shared.installed.push_back(std::move(clock));
  gCurrent.store(current, std::memory_order_release);
  TimerService::shared().clockChanged();
}

}  // namespace platform
