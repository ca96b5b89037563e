#pragma once
// Class lookup by name. Where the SDK asks "is class X present?" (optional components, platform
// frameworks), it asks this registry. It is empty by default; the host or tests register what
// they provide, optionally with a factory.

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

class ClassRegistry {
 public:
  using Factory = std::function<std::any()>;
  static void registerClass(const std::string& name, Factory factory = nullptr);
  static void unregisterClass(const std::string& name);
  static bool exists(const std::string& name);
  // The factory's product, or an empty any when the class or its factory is missing.
  static std::any create(const std::string& name);
  // Removes every registration (tests).
  static void reset();

  // Registers name with a factory that returns instance as std::shared_ptr<Interface>. The
  // interface is named explicitly (registerInstance<Interface>(...)): a product registered under
  // the type of an implementation would not be found by instance<Interface>.
  template <typename Interface>
  static void registerInstance(const std::string& name, std::type_identity_t<std::shared_ptr<Interface>> instance) {
    registerClass(name, [instance = std::move(instance)] { return std::any(instance); });
  }

  // The product of name as Interface; nullptr when the class is absent, has no factory, or makes
  // something else, which counts as absent the way a class that does not answer the expected
  // messages would.
  template <typename Interface>
  static std::shared_ptr<Interface> instance(const std::string& name) {
    std::any product = create(name);
    if (auto* typed = std::any_cast<std::shared_ptr<Interface>>(&product)) return *typed;
    return nullptr;
  }
};

}  // namespace platform
