#pragma once
// Named notifications between components that do not know each other (the core platform announcing
// it is ready, a configuration object switching collection, the installation ID changing).
//
// A sender is an opaque identity (const void*): it is compared, never dereferenced, so posting
// objects of any type and filtering on them needs no common base class. nullptr means "no sender"
// when posting and "any sender" when observing.
//
// Thread-safe: post, addObserver and removeObserver may be called from any thread. Once
// removeObserver has returned, the observer's handler is not started again (a call already running
// on another thread at that moment finishes).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Object.h"

namespace platform {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  Dictionary userInfo;
};

class NotificationCenter {
 public:
  using Token = uint64_t;
  using Handler = std::function<void(const Notification&)>;

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide center.
  static NotificationCenter& defaultCenter();

  // Observes notifications called name ("" observes every name) posted by sender (nullptr: any
  // sender). With a queue the handler runs asynchronously on it; without one it runs on the
  // posting thread before post() returns. Returns a token for removeObserver (never 0).
  Token addObserver(const std::string& name, const void* sender, std::shared_ptr<DispatchQueue> queue,
                    Handler handler);
  // Stops delivery to the observer; unknown tokens are ignored.
  void removeObserver(Token token);
  // Delivers to every matching observer, in the order they were added.
  void post(const std::string& name, const void* sender = nullptr, Dictionary userInfo = {});
  // Number of registered observers.
  size_t observerCount() const;
  // Removes every observer (tests).
  void removeAllObservers();

 private:
  struct Observer {
    Token token;
    std::string name;
    const void* sender;
    std::shared_ptr<DispatchQueue> queue;
    Handler handler;
    std::atomic<bool> active{true};
  };

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  Token nextToken_ = 1;
};

}  // namespace platform
