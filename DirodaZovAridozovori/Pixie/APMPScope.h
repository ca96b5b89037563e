#pragma once
// The lexical environment of a Pixie program.

#include <string_view>

#include "APMPPropertyMap.h"
#include "APMPRuntimeValue.h"

class APMPRuntime;
class APMPObjectManager;

class APMPScope final : public APMPObject {
 public:
  // A scope of the given runtime; parent may be null (the runtime's initial scope).
  APMPScope(APMPRuntime* runtime, APMPRef<APMPScope> parent);
  APMPRef<APMPScope> createChildScope();

  using Key = APMPPropertyMap::Key;
  // True when this scope or an ancestor holds the name.
  bool hasName(Key key) const;
  bool hasName(std::string_view name) const { return hasName(APMPPropertyMap::keyFor(name)); }
  // The value from the nearest scope holding the name; undefined when none does.
  APMPRuntimeValue valueForName(Key key) const;
  APMPRuntimeValue valueForName(std::string_view name) const {
    return valueForName(APMPPropertyMap::keyFor(name));
  }
  // Defines the name here (shadowing outer ones).
  void addValue(Key key, APMPRuntimeValue value) { contents_.setValue(key, std::move(value)); }
  void addValue(std::string_view name, APMPRuntimeValue value) {
    contents_.setValue(name, std::move(value));
  }
  void addImmutableValue(Key key, APMPRuntimeValue value) {
    contents_.setImmutableValue(key, std::move(value));
  }
  void addImmutableValue(std::string_view name, APMPRuntimeValue value) {
    contents_.setImmutableValue(name, std::move(value));
  }
  // Assignment: the nearest scope that holds the name, else defined here.
  void setValue(Key key, APMPRuntimeValue value);
  void setValue(std::string_view name, APMPRuntimeValue value) {
    setValue(APMPPropertyMap::keyFor(name), std::move(value));
  }
  void makeImmutable() { contents_.makeImmutable(); }

  APMPScope* parentScope() const { return parent_.get(); }
  APMPRuntime* runtime() const { return runtime_; }
  APMPObjectManager* objectManager() const;
  const APMPPropertyMap& contents() const { return contents_; }

  // Marks the own values and the whole parent chain: a closure made in a nested block keeps what
  // every enclosing block holds.
  void markChildren(APMPMarker& marker) override;
  // Drops the values (the runtime is going away).
  void clear() { contents_.clear(); }

 private:
  APMPRuntime* runtime_;
  APMPRef<APMPScope> parent_;
  APMPPropertyMap contents_;
};
