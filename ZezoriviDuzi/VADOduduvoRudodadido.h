#pragma once
// A dictionary guarded by its own serial queue: every read and write holds the queue, so any thread
// may use it. Caches of the remote configuration and the experimentation maps live in these.
//
// The queue's sync() runs blocks on the caller's thread while holding the queue, so no thread is
// spent on an idle dictionary.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/Object.h"

template <typename Key = std::string, typename Value = platform::Object>
class VADOduduvoRudodadido {
 public:
  using Map = std::map<Key, Value>;

  VADOduduvoRudodadido() : queue_(platform::DispatchQueue::create("VADOduduvoRudodadido")) {}
  explicit VADOduduvoRudodadido(Map initial) : VADOduduvoRudodadido() { map_ = std::move(initial); }
  VADOduduvoRudodadido(const VADOduduvoRudodadido&) = delete;
  VADOduduvoRudodadido& operator=(const VADOduduvoRudodadido&) = delete;

  // The value under key; nullopt when absent.
  std::optional<Value> objectForKeyedSubscript(const Key& key) const {
    std::optional<Value> result;
    queue_->sync([&] {
      auto it = map_.find(key);
      if (it != map_.end()) result = it->second;
    });
    return result;
  }

  // Sets the value under key; nullopt removes the key.
  void setObject(std::optional<Value> value, const Key& forKeyedSubscript) {
    queue_->sync([&] {
      if (value) {
        map_.insert_or_assign(forKeyedSubscript, std::move(*value));
      } else {
        map_.erase(forKeyedSubscript);
      }
    });
  }

  void removeObjectForKey(const Key& key) {
    queue_->sync([&] { map_.erase(key); });
  }

  void removeAllObjects() {
    queue_->sync([&] { map_.clear(); });
  }

  // A copy taken under the queue.
  Map dictionary() const {
    Map copy;
    queue_->sync([&] { copy = map_; });
    return copy;
  }

  size_t count() const {
    size_t n = 0;
    queue_->sync([&] { n = map_.size(); });
    return n;
  }

 private:
  std::shared_ptr<platform::DispatchQueue> queue_;
  Map map_;  // touched only inside queue_ blocks
};
