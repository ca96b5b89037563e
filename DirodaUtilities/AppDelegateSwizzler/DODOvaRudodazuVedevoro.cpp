#include "DODOvaRudodazuVedevoro.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>

#include "platform/Bundle.h"

namespace {

struct Registry {
  std::mutex mutex;
  bool installed = false;
  uint64_t nextID = 1;
  // Ordered by registration identifier, so interceptors hear callbacks in registration order.
  std::map<uint64_t, std::weak_ptr<NSApplicationDelegate>> interceptors;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

bool switchIsOff(const char* key) {
  platform::Object value = platform::Bundle::objectForInfoDictionaryKey(key);
  if (value.isNumber()) return !value.boolValue();
  if (value.isString()) {
    const std::string& s = value.stringValue();
    return s == "NO" || s == "no" || s == "false" || s == "FALSE" || s == "0";
  }
  return false;
}

// Live interceptors, in registration order; dead ones are dropped on the way.
std::vector<std::shared_ptr<NSApplicationDelegate>> liveInterceptors(bool requireInstalled) {
  auto& r = registry();
  std::vector<std::shared_ptr<NSApplicationDelegate>> live;
  std::lock_guard<std::mutex> lock(r.mutex);
  if (requireInstalled && !r.installed) return live;
  for (auto it = r.interceptors.begin(); it != r.interceptors.end();) {
    if (auto interceptor = it->second.lock()) {
      live.push_back(std::move(interceptor));
      ++it;
    } else {
      it = r.interceptors.erase(it);
    }
  }
  return live;
}

void forEachInterceptor(const std::function<void(NSApplicationDelegate&)>& call) {
  for (const auto& interceptor : liveInterceptors(true)) call(*interceptor);
}

}  // namespace

bool DODOvaRudodazuVedevoro::isAppDelegateProxyEnabled() {
  return !switchIsOff(kUtilitiesProxyEnabledKey) && !switchIsOff(kZoredodeProxyEnabledKey);
}

void DODOvaRudodazuVedevoro::proxyOriginalDelegate() {
  if (!isAppDelegateProxyEnabled()) return;
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.installed = true;
}

bool DODOvaRudodazuVedevoro::isProxyInstalled() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.installed;
}

std::string DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(
    const std::shared_ptr<NSApplicationDelegate>& interceptor) {
  if (!interceptor) return {};
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const auto& [id, existing] : r.interceptors) {
    if (existing.lock() == interceptor) return std::to_string(id);
  }
  uint64_t id = r.nextID++;
  r.interceptors[id] = interceptor;
  return std::to_string(id);
}

void DODOvaRudodazuVedevoro::unregisterAppDelegateInterceptorWithID(const std::string& interceptorID) {
  uint64_t id = 0;
  try {
    id = std::stoull(interceptorID);
  } catch (...) {
    return;
  }
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.interceptors.erase(id);
}

size_t DODOvaRudodazuVedevoro::interceptorCount() { return liveInterceptors(false).size(); }

void DODOvaRudodazuVedevoro::forwardOpenURLs(const std::vector<std::string>& urls) {
  forEachInterceptor([&](NSApplicationDelegate& d) { d.applicationOpenURLs(urls); });
}

bool DODOvaRudodazuVedevoro::forwardContinueUserActivity(const std::string& activityType,
                                                         const std::string& webpageURL) {
  bool handled = false;
  forEachInterceptor([&](NSApplicationDelegate& d) {
    handled = d.applicationContinueUserActivity(activityType, webpageURL) || handled;
  });
  return handled;
}

void DODOvaRudodazuVedevoro::forwardDidReceiveRemoteNotification(const platform::Dictionary& userInfo) {
  forEachInterceptor([&](NSApplicationDelegate& d) { d.applicationDidReceiveRemoteNotification(userInfo); });
}

void DODOvaRudodazuVedevoro::forwardDidRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& token) {
  forEachInterceptor(
      [&](NSApplicationDelegate& d) { d.applicationDidRegisterForRemoteNotificationsWithDeviceToken(token); });
}

void DODOvaRudodazuVedevoro::forwardDidFailToRegisterForRemoteNotificationsWithError(const platform::Error& error) {
  forEachInterceptor(
      [&](NSApplicationDelegate& d) { d.applicationDidFailToRegisterForRemoteNotificationsWithError(error); });
}

void DODOvaRudodazuVedevoro::resetForTesting() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.installed = false;
  r.interceptors.clear();
}
