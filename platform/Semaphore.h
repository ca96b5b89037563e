#pragma once
// A counting semaphore whose wait can time out.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class Semaphore {
 public:
  explicit Semaphore(long value = 0) : value_(value) {}

  void signal() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++value_;
    }
    cv_.notify_one();
  }

  // Waits until signalled; false when timeoutSeconds (real time) passed first. A negative
  // timeout waits for ever.
  bool wait(double timeoutSeconds = -1) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutSeconds < 0) {
      cv_.wait(lock, [&] { return value_ > 0; });
    } else if (!cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return value_ > 0; })) {
      return false;
    }
    --value_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long value_;
};

}  // namespace platform
