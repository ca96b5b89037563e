#include "APMUserDefaults.h"

#include "platform/UserDefaultsRegistry.h"

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  // Deliberately never destroyed: blocks still queued on SDK queues at exit (the monitor's
  // migration, for one) may ask for it after static destruction has begun.
  static const auto* shared = new std::shared_ptr<APMUserDefaults>(std::make_shared<APMUserDefaults>(std::string()));
  return *shared;
}

APMUserDefaults::APMUserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

std::shared_ptr<platform::UserDefaults> APMUserDefaults::store() const {
  return platform::UserDefaultsRegistry::suite(suiteName_);
}

platform::Object APMUserDefaults::objectForKey(const std::string& key) const { return store()->object(key); }

std::optional<platform::Object> APMUserDefaults::numberForKey(const std::string& key) const {
  return store()->number(key);
}

std::optional<std::string> APMUserDefaults::stringForKey(const std::string& key) const { return store()->string(key); }

std::optional<platform::Array> APMUserDefaults::arrayForKey(const std::string& key) const { return store()->array(key); }

std::optional<platform::Dictionary> APMUserDefaults::dictionaryForKey(const std::string& key) const {
  return store()->dictionary(key);
}

std::optional<platform::Data> APMUserDefaults::dataForKey(const std::string& key) const { return store()->data(key); }

bool APMUserDefaults::boolForKey(const std::string& key) const { return store()->boolValue(key); }

int64_t APMUserDefaults::integerForKey(const std::string& key) const { return store()->integer(key); }

double APMUserDefaults::doubleForKey(const std::string& key) const { return store()->doubleValue(key); }

void APMUserDefaults::setObject(const platform::Object& object, const std::string& key) {
  store()->setObject(key, object);
}

void APMUserDefaults::setBool(bool value, const std::string& key) { store()->setBool(key, value); }

void APMUserDefaults::setInteger(int64_t value, const std::string& key) { store()->setInteger(key, value); }

void APMUserDefaults::setDouble(double value, const std::string& key) { store()->setDouble(key, value); }

void APMUserDefaults::removeObjectForKey(const std::string& key) { store()->removeObject(key); }

void APMUserDefaults::clearAllData() { store()->clear(); }

bool APMUserDefaults::synchronize() { return store()->synchronize(); }
