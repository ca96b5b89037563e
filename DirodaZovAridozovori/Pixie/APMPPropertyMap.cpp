#include "APMPPropertyMap.h"

#include "APMPObjectManager.h"

namespace {
constexpr size_t kIndexThreshold = 12;
}

int64_t APMPPropertyMap::findIndex(Key key) const {
  if (index_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (e.hash == key.hash && e.name == key.name) return static_cast<int64_t>(i);
    }
    return -1;
  }
  size_t mask = index_.size() - 1;
  for (size_t slot = key.hash & mask;; slot = (slot + 1) & mask) {
    int32_t at = index_[slot];
    if (at < 0) return -1;
    const Entry& e = entries_[static_cast<size_t>(at)];
    if (e.hash == key.hash && e.name == key.name) return at;
  }
}

const APMPRuntimeValue* APMPPropertyMap::find(Key key, bool* immutable) const {
  int64_t at = findIndex(key);
  if (at < 0) return nullptr;
  const Entry& e = entries_[static_cast<size_t>(at)];
  if (immutable) *immutable = e.immutable || immutable_;
  return &e.value;
}

void APMPPropertyMap::rebuildIndex() {
  index_.clear();
  if (entries_.size() < kIndexThreshold) return;
  size_t capacity = 32;
  while (capacity < entries_.size() * 2) capacity *= 2;
  index_.assign(capacity, -1);
  size_t mask = capacity - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = entries_[i].hash & mask;
    while (index_[slot] >= 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<int32_t>(i);
  }
}

void APMPPropertyMap::insert(Key key, APMPRuntimeValue value, bool immutable) {
  entries_.push_back(Entry{std::string(key.name), key.hash, std::move(value), immutable});
  if (entries_.size() < kIndexThreshold) return;
  if (index_.empty() || entries_.size() * 2 > index_.size()) {
    rebuildIndex();
    return;
  }
  size_t mask = index_.size() - 1;
  size_t slot = key.hash & mask;
  while (index_[slot] >= 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<int32_t>(entries_.size() - 1);
}

void APMPPropertyMap::setValue(Key key, APMPRuntimeValue value) {
  if (immutable_) return;
  int64_t at = findIndex(key);
  if (at >= 0) {
    Entry& e = entries_[static_cast<size_t>(at)];
    if (!e.immutable) e.value = std::move(value);
    return;
  }
  insert(key, std::move(value), false);
}

void APMPPropertyMap::setImmutableValue(Key key, APMPRuntimeValue value) {
  if (immutable_) return;
  int64_t at = findIndex(key);
  if (at >= 0) {
    Entry& e = entries_[static_cast<size_t>(at)];
    if (e.immutable) return;
    e.value = std::move(value);
    e.immutable = true;
    return;
  }
  insert(key, std::move(value), true);
}

APMPRuntimeValue APMPPropertyMap::valueForName(Key key) const {
  const APMPRuntimeValue* value = find(key);
  return value ? *value : APMPRuntimeValue();
}

void APMPPropertyMap::removeValueForName(std::string_view name) {
  if (immutable_) return;
  int64_t at = findIndex(keyFor(name));
  if (at < 0 || entries_[static_cast<size_t>(at)].immutable) return;
  // Keep the removed value alive until the map is consistent again (its release may run code
  // that reads this map only through the collector, never re-entrantly, but stay safe).
  APMPRuntimeValue removed = std::move(entries_[static_cast<size_t>(at)].value);
  entries_.erase(entries_.begin() + at);
  rebuildIndex();
}

std::vector<std::string> APMPPropertyMap::allNames() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const Entry& e : entries_) names.push_back(e.name);
  return names;
}

void APMPPropertyMap::clear() {
  std::vector<Entry> dropped;
  dropped.swap(entries_);
  index_.clear();
}

void APMPPropertyMap::markValues(APMPMarker& marker) const {
  for (const Entry& e : entries_) marker.mark(e.value);
}
