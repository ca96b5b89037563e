#include "APMRemoteConfigEngineHooks.h"

#include <mutex>

namespace {

// What the engine installs for every configuration.
struct Deployment {
  std::mutex mutex;
  APMRemoteConfigEngineHooks hooks;
};

Deployment& deployment() {
  static Deployment* d = new Deployment();
  return *d;
}

}  // namespace

void APMRemoteConfigEngineHooks::setEngineHooks(APMRemoteConfigEngineHooks newHooks) {
  std::lock_guard<std::mutex> lock(deployment().mutex);
  deployment().hooks = std::move(newHooks);
}

APMRemoteConfigEngineHooks APMRemoteConfigEngineHooks::engineHooks() {
  std::lock_guard<std::mutex> lock(deployment().mutex);
  return deployment().hooks;
}
