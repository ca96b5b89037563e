#pragma once
// The typed reads and writes every part of the persisted state shares: one property-list store,
// each value under its "/diroda/measurement/" key. A part holds the same store as its owner, so
// whichever part writes, the one file holds it.
//
// Thread-safe: the backing store guards itself. Setting none removes the key.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/Object.h"
#include "platform/UserDefaults.h"

class APMPersistedValues {
 public:
  static constexpr const char* kKeyPrefix = "/diroda/measurement/";

 protected:
  explicit APMPersistedValues(std::shared_ptr<platform::UserDefaults> store) : store_(std::move(store)) {}

  static std::string keyFor(const std::string& name) { return std::string(kKeyPrefix) + name; }
  bool has(const std::string& name) const;
  std::optional<double> doubleValue(const std::string& name) const;
  std::optional<int64_t> integerValue(const std::string& name) const;
  std::optional<bool> boolValue(const std::string& name) const;
  std::optional<std::string> stringValue(const std::string& name) const;
  template <typename T>
  void set(const std::string& name, const std::optional<T>& value) {
    setObject(name, value ? platform::Object(*value) : platform::Object());
  }
  void setObject(const std::string& name, const platform::Object& value);

  std::shared_ptr<platform::UserDefaults> store_;
};
