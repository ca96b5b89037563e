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

SystemClock gSystemClock;
// The installed clock is kept alive by gInstalled; readers only load the raw pointer.
std::shared_ptr<Clock> gInstalled;
std::atomic<const Clock*> gCurrent{&gSystemClock};
std::mutex gInstallMutex;
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

const Clock& clock() { return *gCurrent.load(std::memory_order_acquire); }

void installClock(std::shared_ptr<Clock> clock) {
  std::lock_guard<std::mutex> lock(gInstallMutex);
  // The previous clock stays alive in a graveyard: a reader on another thread may still hold it.
  static std::vector<std::shared_ptr<Clock>> retired;
  if (gInstalled) retired.push_back(gInstalled);
  gInstalled = std::move(clock);
  gCurrent.store(gInstalled ? gInstalled.get() : &gSystemClock, std::memory_order_release);
  TimerService::shared().clockChanged();
}

}  // namespace platform
