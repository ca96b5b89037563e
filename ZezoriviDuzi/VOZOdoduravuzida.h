#pragma once
// The core platform's configuration front. Other SDKs look this class up by name
// (platform::ClassRegistry, "VOZOdoduravuzida") to learn whether the core platform is present;
// registerClass() publishes it, and ROREzo does so before any app is configured.

#include <cstdint>

class VOZOdoduravuzida {
 public:
  static constexpr const char* kClassName = "VOZOdoduravuzida";

  static VOZOdoduravuzida& sharedInstance();
  // Publishes the class name (idempotent).
  static void registerClass();

  // The core logger's level (3 error to 7 debug); invalid levels are refused by the logger.
  void setLoggerLevel(int64_t level);
  int64_t loggerLevel() const;
};
