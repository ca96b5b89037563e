#pragma once
// A user-defaults wrapper that checks the kind of every value it hands out and stores only values
// a property list can hold, so a key written by an older version with another kind reads as absent
// instead of as a surprise.
//
// Backed by the platform's persisted defaults (the standard suite or a named one); the backing
// store is looked up on each call, so a new data directory is honoured at once. Thread-safe.

#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"

namespace platform {
class UserDefaults;
}

class DULUserDefaults {
 public:
  // The application's standard defaults.
  static std::shared_ptr<DULUserDefaults> standardUserDefaults();
  // A named suite; "" gives the standard defaults.
  explicit DULUserDefaults(std::string suiteName = {});

  const std::string& suiteName() const { return suiteName_; }

  // The stored value, or null.
  platform::Object objectForKey(const std::string& key) const;
  // The value when it has the asked kind; nullopt when absent or of another kind.
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<platform::Array> arrayForKey(const std::string& key) const;
  std::optional<platform::Dictionary> dictionaryForKey(const std::string& key) const;
  std::optional<platform::Data> dataForKey(const std::string& key) const;
  // Numbers (booleans included) convert; anything else, strings too, reads 0 / false.
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;

  // Stores value. A null value removes the key. A value a property list cannot hold (a null
  // inside an array or dictionary) is refused, logged, and leaves the key as it was.
  // Returns whether the store changed as asked.
  bool setObject(const platform::Object& value, const std::string& forKey);
  void setString(const std::string& value, const std::string& forKey) { setObject(value, forKey); }
  void setInteger(int64_t value, const std::string& forKey) { setObject(static_cast<long long>(value), forKey); }
  void setDouble(double value, const std::string& forKey) { setObject(value, forKey); }
  void setBool(bool value, const std::string& forKey) { setObject(value, forKey); }
  void removeObjectForKey(const std::string& key);
  // Every key of this suite.
  platform::Dictionary dictionaryRepresentation() const;

  // Writes pending changes to disk now.
  bool synchronize();

 private:
  std::shared_ptr<platform::UserDefaults> store() const;
  std::optional<platform::Object> typed(const std::string& key, platform::Object::Kind kind) const;

  const std::string suiteName_;
};
