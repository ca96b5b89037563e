#include "VODEzudaruvu.h"

std::shared_ptr<VODEzudaruvu> VODEzudaruvu::componentWithProtocol(const std::string& protocol,
                                                                  CreationBlock creationBlock) {
  return componentWithProtocol(protocol, VODEzudaruvuInstantiationTiming::Lazy, std::move(creationBlock));
}

std::shared_ptr<VODEzudaruvu> VODEzudaruvu::componentWithProtocol(const std::string& protocol,
                                                                  VODEzudaruvuInstantiationTiming instantiationTiming,
                                                                  CreationBlock creationBlock) {
  return std::make_shared<VODEzudaruvu>(protocol, instantiationTiming, std::move(creationBlock));
}

VODEzudaruvuContainer::VODEzudaruvuContainer(std::weak_ptr<ROREzo> app,
                                             const std::vector<std::shared_ptr<VODEzudaruvu>>& components)
    : app_(std::move(app)) {
  for (const auto& component : components) {
    if (!component || component->protocol().empty() || !component->creationBlock()) continue;
    // The first library to claim a protocol keeps it.
    if (creators_.count(component->protocol())) continue;
    creators_[component->protocol()] = component->creationBlock();
    timings_[component->protocol()] = component->instantiationTiming();
  }
}

std::any VODEzudaruvuContainer::instanceForProtocol(const std::string& protocol) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto cached = cached_.find(protocol);
  if (cached != cached_.end()) return cached->second;
  auto creator = creators_.find(protocol);
  if (creator == creators_.end()) return {};
  // Copied: a creation block that clears the components must not destroy the running block.
  VODEzudaruvu::CreationBlock block = creator->second;
  bool isCacheable = false;
  std::any instance = block(*this, &isCacheable);
  if (instance.has_value() && isCacheable) cached_[protocol] = instance;
  return instance;
}

void VODEzudaruvuContainer::instantiateEagerComponents(bool isDefaultApp) {
  std::vector<std::string> eager;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto& [protocol, timing] : timings_) {
      if (timing == VODEzudaruvuInstantiationTiming::AlwaysEager ||
          (timing == VODEzudaruvuInstantiationTiming::EagerInDefaultApp && isDefaultApp)) {
        eager.push_back(protocol);
      }
    }
  }
  for (const auto& protocol : eager) instanceForProtocol(protocol);
}

bool VODEzudaruvuContainer::hasComponentForProtocol(const std::string& protocol) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return creators_.count(protocol) != 0;
}

void VODEzudaruvuContainer::removeAllCachedInstances() {
  std::map<std::string, std::any> released;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    released.swap(cached_);
  }
  // Instances are destroyed outside the lock: their destructors may reach back into the container.
}

void VODEzudaruvuContainer::removeAllComponents() {
  std::map<std::string, VODEzudaruvu::CreationBlock> creators;
  std::map<std::string, std::any> released;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  creators.swap(creators_);
  released.swap(cached_);
  timings_.clear();
}
