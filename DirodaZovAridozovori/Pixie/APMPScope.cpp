#include "APMPScope.h"

#include "APMPObjectManager.h"
#include "APMPRuntime.h"

APMPScope::APMPScope(APMPRuntime* runtime, APMPRef<APMPScope> parent)
    : runtime_(runtime), parent_(std::move(parent)) {}

APMPRef<APMPScope> APMPScope::createChildScope() { return APMPMake<APMPScope>(runtime_, APMPRef<APMPScope>(this)); }

bool APMPScope::hasName(Key key) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get())
    if (scope->contents_.hasName(key)) return true;
  return false;
}

APMPRuntimeValue APMPScope::valueForName(Key key) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get())
    if (const APMPRuntimeValue* value = scope->contents_.find(key)) return *value;
  return {};
}

void APMPScope::setValue(Key key, APMPRuntimeValue value) {
  APMPScope* holder = nullptr;
  for (APMPScope* scope = this; scope && !holder; scope = scope->parent_.get())
    if (scope->contents_.hasName(key)) holder = scope;
  if (!holder) {
    contents_.setValue(key, std::move(value));
    return;
  }
  // The assignment travels outward to the holder; an immutable scope on the way stops it.
  for (APMPScope* scope = this; scope != holder; scope = scope->parent_.get())
    if (scope->contents_.isImmutable()) return;
  holder->contents_.setValue(key, std::move(value));
}

APMPObjectManager* APMPScope::objectManager() const { return runtime_ ? &runtime_->objectManager() : nullptr; }

void APMPScope::markChildren(APMPMarker& marker) {
  contents_.markValues(marker);
  if (parent_) marker.markObject(parent_.get());
}
