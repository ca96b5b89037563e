#include "APMAnalyticsHooks.h"

#include <mutex>

#include "platform/ClassRegistry.h"

namespace {
constexpr const char* kPublicAPIClassName = "DUDUravodazo";

std::mutex& hooksMutex() {
  static std::mutex mutex;
  return mutex;
}
// Replaced whole on every install, so a snapshot handed out stays valid and unchanged.
std::shared_ptr<const APMAnalyticsHooks>& installedHooks() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& hooks = *new std::shared_ptr<const APMAnalyticsHooks>(std::make_shared<const APMAnalyticsHooks>());
  return hooks;
}
}  // namespace

void APMSetAnalyticsHooks(APMAnalyticsHooks hooks) {
  auto replacement = std::make_shared<const APMAnalyticsHooks>(std::move(hooks));
  std::lock_guard<std::mutex> lock(hooksMutex());
  installedHooks() = std::move(replacement);
}

APMAnalyticsHooks APMCurrentAnalyticsHooks() { return *APMAnalyticsHooksSnapshot(); }

std::shared_ptr<const APMAnalyticsHooks> APMAnalyticsHooksSnapshot() {
  std::lock_guard<std::mutex> lock(hooksMutex());
  return installedHooks();
}

bool APMAnalyticsHooksIsAppActive() {
  auto hooks = APMAnalyticsHooksSnapshot();
  return hooks->isAppActive && hooks->isAppActive();
}

bool APMAnalyticsHooksLogInternalEvent(const std::string& origin, const std::string& name,
                                       const platform::Dictionary& parameters) {
  auto hooks = APMAnalyticsHooksSnapshot();
  if (!hooks->logInternalEventWithOrigin) return false;
  hooks->logInternalEventWithOrigin(origin, name, parameters);
  return true;
}

bool APMPublicAPIPresent() { return platform::ClassRegistry::exists(kPublicAPIClassName); }

platform::Dictionary APMAnalyticsHooksScreenParameters() {
  auto hooks = APMAnalyticsHooksSnapshot();
  return hooks->screenParameters ? hooks->screenParameters() : platform::Dictionary{};
}

std::optional<bool> APMAnalyticsHooksDeferredCollection() {
  auto hooks = APMAnalyticsHooksSnapshot();
  return hooks->deferredAnalyticsCollection ? hooks->deferredAnalyticsCollection() : std::nullopt;
}

void APMAnalyticsHooksSetDeferredCollection(std::optional<bool> value) {
  auto hooks = APMAnalyticsHooksSnapshot();
  if (hooks->setDeferredAnalyticsCollection) hooks->setDeferredAnalyticsCollection(value);
}

bool APMAnalyticsHooksHaveEventListeners(const APMAnalyticsHooks& hooks) {
  return hooks.notifyEventListeners && (!hooks.hasEventListeners || hooks.hasEventListeners());
}
