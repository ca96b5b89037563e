#pragma once
// Named properties of arrays, maps, functions and scopes.
//
// Entries keep their insertion order. Small maps (the usual scope) are searched linearly by hash;
// larger ones get an open-addressing index so that lookups stay constant-time.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "APMPRuntimeValue.h"

class APMPPropertyMap {
 public:
  struct Key {
    std::string_view name;
    size_t hash;
  };
  static Key keyFor(std::string_view name) { return {name, std::hash<std::string_view>()(name)}; }
  static Key keyFor(const APMPStringValue& name) { return {name.value(), name.hash()}; }

  bool hasName(Key key) const { return findIndex(key) >= 0; }
  bool hasName(std::string_view name) const { return hasName(keyFor(name)); }
  // Ignored when the map is immutable or the name was written as immutable.
  void setValue(Key key, APMPRuntimeValue value);
  void setValue(std::string_view name, APMPRuntimeValue value) { setValue(keyFor(name), std::move(value)); }
  // Same guard; the entry can then never be rewritten or removed.
  void setImmutableValue(Key key, APMPRuntimeValue value);
  void setImmutableValue(std::string_view name, APMPRuntimeValue value) {
    setImmutableValue(keyFor(name), std::move(value));
  }
  // The undefined value when absent.
  APMPRuntimeValue valueForName(Key key) const;
  APMPRuntimeValue valueForName(std::string_view name) const { return valueForName(keyFor(name)); }
  // A pointer to the stored value, or nullptr when absent (fast path for scope lookups).
  const APMPRuntimeValue* find(Key key, bool* immutable = nullptr) const;
  void removeValueForName(std::string_view name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  std::vector<std::string> allNames() const;
  size_t count() const { return entries_.size(); }
  void clear();
  void markValues(APMPMarker& marker) const;

 private:
  struct Entry {
    std::string name;
    size_t hash;
    APMPRuntimeValue value;
    bool immutable;
  };
  int64_t findIndex(Key key) const;
  void rebuildIndex();
  void insert(Key key, APMPRuntimeValue value, bool immutable);

  std::vector<Entry> entries_;
  std::vector<int32_t> index_;  // open addressing over entries_, -1 empty; used when large
  bool immutable_ = false;
};
