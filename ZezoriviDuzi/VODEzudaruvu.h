#pragma once
// The component registry: an SDK publishes one instance per app under a protocol name, and other
// SDKs find it through the app's container without knowing its class.
//
// Protocols are names ("DUDUravodazoInterop"); instances travel as std::any holding a
// std::shared_ptr<T>, so a lookup with the wrong T finds nothing instead of misbehaving.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ROREzo;
class VODEzudaruvuContainer;

enum class VODEzudaruvuInstantiationTiming : int {
  Lazy = 0,               // on the first lookup
  AlwaysEager = 1,        // when the app is configured
  EagerInDefaultApp = 2,  // when the default app is configured; lazily elsewhere
};

class VODEzudaruvu {
 public:
  // Receives the container and a flag (preset to false) that the block sets to let the container
  // cache the instance; returns the instance (an empty any for none).
  using CreationBlock = std::function<std::any(VODEzudaruvuContainer& container, bool* isCacheable)>;

  static std::shared_ptr<VODEzudaruvu> componentWithProtocol(const std::string& protocol, CreationBlock creationBlock);
  static std::shared_ptr<VODEzudaruvu> componentWithProtocol(const std::string& protocol,
                                                             VODEzudaruvuInstantiationTiming instantiationTiming,
                                                             CreationBlock creationBlock);

  const std::string& protocol() const { return protocol_; }
  VODEzudaruvuInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const CreationBlock& creationBlock() const { return creationBlock_; }

  VODEzudaruvu(std::string protocol, VODEzudaruvuInstantiationTiming timing, CreationBlock block)
      : protocol_(std::move(protocol)), instantiationTiming_(timing), creationBlock_(std::move(block)) {}

 private:
  std::string protocol_;
  VODEzudaruvuInstantiationTiming instantiationTiming_;
  CreationBlock creationBlock_;
};

// What an SDK library gives the core platform: the components it publishes.
using ZORComponentsProvider = std::function<std::vector<std::shared_ptr<VODEzudaruvu>>()>;

class VODEzudaruvuContainer {
 public:
  // app is held weakly (the app owns its container).
  VODEzudaruvuContainer(std::weak_ptr<ROREzo> app, const std::vector<std::shared_ptr<VODEzudaruvu>>& components);

  std::shared_ptr<ROREzo> app() const { return app_.lock(); }

  // The instance published under protocol: the cached one, else a new one from its creation block
  // (cached when the block allows). An empty any when nothing is registered or the block gave none.
  // Creation blocks may look up other protocols of the same container.
  std::any instanceForProtocol(const std::string& protocol);
  template <typename T>
  std::shared_ptr<T> instanceForProtocol(const std::string& protocol) {
    std::any instance = instanceForProtocol(protocol);
    if (auto* typed = std::any_cast<std::shared_ptr<T>>(&instance)) return *typed;
    return nullptr;
  }

  // Creates the eager components (the default-app-only ones too when isDefaultApp).
  void instantiateEagerComponents(bool isDefaultApp);
  bool hasComponentForProtocol(const std::string& protocol) const;
  void removeAllCachedInstances();
  // Forgets every component and its cached instance: nothing is published afterwards.
  void removeAllComponents();

 private:
  std::weak_ptr<ROREzo> app_;
  // Recursive: a creation block may ask this container for its own dependencies.
  mutable std::recursive_mutex mutex_;
  std::map<std::string, VODEzudaruvu::CreationBlock> creators_;
  std::map<std::string, VODEzudaruvuInstantiationTiming> timings_;
  std::map<std::string, std::any> cached_;
};

// Typed lookup in the style the SDKs use: VODEzudaruvuType<Interop>::instanceForProtocol(...).
template <typename T>
struct VODEzudaruvuType {
  static std::shared_ptr<T> instanceForProtocol(const std::string& protocol, VODEzudaruvuContainer& container) {
    return container.instanceForProtocol<T>(protocol);
  }
};
