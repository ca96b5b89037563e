#include "APMAnalyticsHooks.h"

#include <mutex>

namespace {
std::mutex& hooksMutex() {
  static std::mutex mutex;
  return mutex;
}
APMAnalyticsHooks& installedHooks() {
  static APMAnalyticsHooks hooks;
  return hooks;
}
}  // namespace

void APMSetAnalyticsHooks(APMAnalyticsHooks hooks) {
  std::lock_guard<std::mutex> lock(hooksMutex());
  installedHooks() = std::move(hooks);
}

APMAnalyticsHooks APMCurrentAnalyticsHooks() {
  std::lock_guard<std::mutex> lock(hooksMutex());
  return installedHooks();
}
