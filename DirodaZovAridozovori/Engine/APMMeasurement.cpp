#include "APMMeasurement.h"

#include "RemoteConfig/APMRemoteConfig.h"

namespace {
std::mutex& sharedInstanceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<APMMeasurement>& sharedEngine() {
  static std::shared_ptr<APMMeasurement> engine;
  return engine;
}
bool& sharedInstanceCreated() {
  static bool created = false;
  return created;
}
}  // namespace

bool APMMeasurement::hasSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedInstanceMutex());
  return sharedEngine() != nullptr && sharedInstanceCreated();
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedInstanceMutex());
  return sharedEngine();
}

std::shared_ptr<APMMonitor> APMMeasurement::monitor() { return APMMonitor::shared(); }

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  auto engine = sharedInstance();
  if (engine && engine->remoteConfig_) return engine->remoteConfig_;
  return APMRemoteConfig::defaultInstance();
}
