#pragma once
// Services the host may supply (attribution token, store catalog, private-set-membership client,
// conversion service). Each is an interface that derives from Provider<itself> and names the class
// it stands for in kClassName. Nothing is registered by default: until the host registers an
// implementation, lookUp() answers nullptr and the SDK takes its "not linked" paths.

#include <memory>
#include <utility>

#include "platform/ClassRegistry.h"

namespace platform {

template <typename Interface>
class Provider {
 public:
  virtual ~Provider() = default;

  // The registered implementation, or nullptr.
  static std::shared_ptr<Interface> lookUp() { return ClassRegistry::instance<Interface>(Interface::kClassName); }
  // Whether the class is present at all, even without a usable implementation.
  static bool isLinked() { return ClassRegistry::exists(Interface::kClassName); }
  // Replaces any earlier registration; nullptr makes the class present but unusable.
  static void registerProvider(std::shared_ptr<Interface> provider) {
    ClassRegistry::registerInstance<Interface>(Interface::kClassName, std::move(provider));
  }
  static void unregisterProvider() { ClassRegistry::unregisterClass(Interface::kClassName); }
};

}  // namespace platform
