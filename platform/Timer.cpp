#include "platform/Timer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

namespace platform {

struct TimerService::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  // (deadline, id) → callback; ordered so the first entry is the next to fire.
  std::map<std::pair<double, TimerID>, std::function<void()>> timers;
  std::map<TimerID, double> deadlines;
  TimerID nextID = 1;
  bool stop = false;
  std::thread thread;

  void loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop) {
      if (timers.empty()) {
        cv.wait(lock);
        continue;
      }
      double now = uptime();
      auto first = timers.begin();
      if (first->first.first > now) {
        double wait = first->first.first - now;
        // Cap the wait so a clock installed without notice is still noticed.
        cv.wait_for(lock, std::chrono::duration<double>(std::min(wait, 0.5)));
        continue;
      }
      auto fire = std::move(first->second);
      deadlines.erase(first->first.second);
      timers.erase(first);
      lock.unlock();
      fire();
      lock.lock();
    }
  }
};

TimerService& TimerService::shared() {
  static TimerService* service = new TimerService();  // lives for the whole process
  return *service;
}

TimerService::TimerService() : impl_(new Impl) {
  impl_->thread = std::thread([this] { impl_->loop(); });
  impl_->thread.detach();
}

TimerService::~TimerService() = default;

TimerService::TimerID TimerService::schedule(double delaySeconds, std::function<void()> fire) {
  double deadline = uptime() + (delaySeconds > 0 ? delaySeconds : 0);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  TimerID id = impl_->nextID++;
  impl_->timers.emplace(std::make_pair(deadline, id), std::move(fire));
  impl_->deadlines.emplace(id, deadline);
  impl_->cv.notify_all();
  return id;
}

bool TimerService::cancel(TimerID id) {
  std::function<void()> dropped;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->deadlines.find(id);
  if (it == impl_->deadlines.end()) return false;
  auto timer = impl_->timers.find(std::make_pair(it->second, id));
  if (timer != impl_->timers.end()) {
    dropped = std::move(timer->second);
    impl_->timers.erase(timer);
  }
  impl_->deadlines.erase(it);
  return true;
}

size_t TimerService::pendingCount() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->timers.size();
}

void TimerService::clockChanged() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->cv.notify_all();
}

}  // namespace platform
