#include "APMAlarm.h"

#include <cmath>
#include <cstdint>
#include <mutex>

#include "APMCoreLog.h"
#include "platform/Clock.h"
#include "platform/Timer.h"

namespace {
constexpr const char* kDefaultName = "Timer";
}

struct APMAlarm::State {
  std::shared_ptr<platform::DispatchQueue> queue;
  std::string name;
  mutable std::mutex mutex;  // guards everything below
  uint64_t generation = 0;   // bumped by every arming and every cancel
  std::optional<platform::TimerService::TimerID> timer;
  std::optional<double> scheduledTimestamp;

  // Drops the current arming; true when there was one. The caller logs.
  bool cancelLocked(bool* timerWasActive) {
    if (!scheduledTimestamp) return false;
    *timerWasActive = timer.has_value();
    if (timer) platform::TimerService::shared().cancel(*timer);
    timer.reset();
    scheduledTimestamp.reset();
    ++generation;
    return true;
  }

  void cancel() {
    bool timerWasActive = false;
    bool cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex);
      cancelled = cancelLocked(&timerWasActive);
    }
    if (!cancelled) return;
    APMLog(APMLogLevel::kDebug, APMCoreLogCode::kAlarmCanceled, name + " canceled");
    if (!timerWasActive) APMLog(APMLogLevel::kWarningSampled, APMCoreLogCode::kAlarmNotActive, name + " is not active");
  }

  // On the alarm's queue.
  void fire(uint64_t armedGeneration, const std::function<void()>& block) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (generation != armedGeneration) return;
      timer.reset();
      scheduledTimestamp.reset();
      ++generation;
    }
    APMLog(APMLogLevel::kDebug, APMCoreLogCode::kAlarmFired, name + " fired");
    APMLog(APMLogLevel::kDebug, APMCoreLogCode::kAlarmCanceled, name + " canceled");
    block();
  }
};

APMAlarm::APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, const std::string& name)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->name = name.empty() ? kDefaultName : name;
}

APMAlarm::~APMAlarm() {
  bool timerWasActive = false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->cancelLocked(&timerWasActive);
}

void APMAlarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
  if (!block) {
    APMLog(APMLogLevel::kErrorSampled, APMCoreLogCode::kAlarmEmptyBlock,
           state_->name + " tried to schedule an empty block");
    return;
  }
  if (std::isnan(delaySeconds)) delaySeconds = 0;
  state_->cancel();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    uint64_t generation = ++state_->generation;
    state_->scheduledTimestamp = platform::now() + delaySeconds;
    std::weak_ptr<State> weak = state_;
    // The timer thread only hands the firing to the alarm's queue; the generation check happens
    // there, so a firing that lost a race with cancel() or a new arming does nothing.
    state_->timer = platform::TimerService::shared().schedule(
        delaySeconds, [weak, generation, queue = state_->queue, block = std::move(block)]() mutable {
          queue->async([weak, generation, block = std::move(block)] {
            if (auto state = weak.lock()) state->fire(generation, block);
          });
        });
  }
  APMLog(APMLogLevel::kDebug, APMCoreLogCode::kAlarmScheduled, state_->name + " scheduled to fire in approx. (s)",
         delaySeconds);
}

void APMAlarm::cancel() { state_->cancel(); }

bool APMAlarm::hasActiveTimer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timer.has_value();
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->scheduledTimestamp;
}

const std::string& APMAlarm::name() const { return state_->name; }
