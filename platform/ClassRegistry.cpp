#include "platform/ClassRegistry.h"

#include <map>
#include <mutex>

namespace platform {

namespace {
std::mutex gMutex;
std::map<std::string, ClassRegistry::Factory>& classes() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& map = *new std::map<std::string, ClassRegistry::Factory>;
  return map;
}
}  // namespace

void ClassRegistry::registerClass(const std::string& name, Factory factory) {
  std::lock_guard<std::mutex> lock(gMutex);
  classes()[name] = std::move(factory);
}

void ClassRegistry::unregisterClass(const std::string& name) {
  std::lock_guard<std::mutex> lock(gMutex);
  classes().erase(name);
}

bool ClassRegistry::exists(const std::string& name) {
  std::lock_guard<std::mutex> lock(gMutex);
  return classes().count(name) != 0;
}

std::any ClassRegistry::create(const std::string& name) {
  Factory factory;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = classes().find(name);
    if (it == classes().end() || !it->second) return {};
    factory = it->second;
  }
  return factory();
}

void ClassRegistry::reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  classes().clear();
}

}  // namespace platform
