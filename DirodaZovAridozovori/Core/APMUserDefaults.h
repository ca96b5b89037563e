#pragma once
// A preferences store for the application (the standard defaults) or a named suite, with typed
// getters and setters. A thin wrapper over platform::UserDefaults: every call resolves the suite
// in the current data directory, so a wrapper kept for the life of the process follows a host
// (or test) that moves the data directory.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"
#include "platform/UserDefaults.h"

class APMUserDefaults {
 public:
  // The application's standard defaults.
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();
  // A named suite (initWithSuiteName); an empty name gives the standard defaults.
  explicit APMUserDefaults(std::string suiteName);

  const std::string& suiteName() const { return suiteName_; }

  platform::Object objectForKey(const std::string& key) const;
  // nullopt when absent or of another kind.
  std::optional<platform::Object> numberForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<platform::Array> arrayForKey(const std::string& key) const;
  std::optional<platform::Dictionary> dictionaryForKey(const std::string& key) const;
  std::optional<platform::Data> dataForKey(const std::string& key) const;
  // false / 0 when absent.
  bool boolForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;

  // A null object removes the key.
  void setObject(const platform::Object& object, const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInteger(int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void removeObjectForKey(const std::string& key);
  // Removes every key of the suite.
  void clearAllData();
  bool synchronize();

 private:
  std::shared_ptr<platform::UserDefaults> store() const;
  std::string suiteName_;
};
