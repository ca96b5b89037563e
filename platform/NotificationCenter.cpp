#include "platform/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may still post from queues while the process exits.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* sender,
                                                          std::shared_ptr<DispatchQueue> queue, Handler handler) {
  auto observer = std::make_shared<Observer>();
  observer->name = name;
  observer->sender = sender;
  observer->queue = std::move(queue);
  observer->handler = std::move(handler);
  std::lock_guard<std::mutex> lock(mutex_);
  observer->token = nextToken_++;
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(observers_.begin(), observers_.end(),
                         [token](const std::shared_ptr<Observer>& o) { return o->token == token; });
  if (it == observers_.end()) return;
  // Deliveries already snapshotted or queued check this flag before running.
  (*it)->active.store(false);
  observers_.erase(it);
}

void NotificationCenter::post(const std::string& name, const void* sender, Dictionary userInfo) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& observer : observers_) {
      if (!observer->name.empty() && observer->name != name) continue;
      if (observer->sender && observer->sender != sender) continue;
      matching.push_back(observer);
    }
  }
  if (matching.empty()) return;
  // Handlers run outside the lock, so they may post, add or remove observers themselves.
  auto notification = std::make_shared<const Notification>(Notification{name, sender, std::move(userInfo)});
  for (const auto& observer : matching) {
    if (!observer->active.load() || !observer->handler) continue;
    if (!observer->queue) {
      observer->handler(*notification);
      continue;
    }
    observer->queue->async([observer, notification] {
      if (observer->active.load()) observer->handler(*notification);
    });
  }
}

size_t NotificationCenter::observerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return observers_.size();
}

void NotificationCenter::removeAllObservers() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& observer : observers_) observer->active.store(false);
  observers_.clear();
}

}  // namespace platform
