#pragma once
// Class lookup by name. Where the SDK asks "is class X present?" (optional components, platform
// frameworks), it asks this registry. It is empty by default; the host or tests register what
// they provide, optionally with a factory.

#include <any>
#include <functional>
#include <string>

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
};

}  // namespace platform
