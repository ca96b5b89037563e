#include "DULUserDefaults.h"

#include "Logger/DULLogger.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

constexpr const char* kService = "com.diroda.utilities.userdefaults";
constexpr const char* kTag = "[DirodaUtilities/UserDefaults]";
constexpr const char* kRefusedValueCode = "I-DUL000001";

bool isPropertyListValue(const platform::Object& value) {
  if (value.isNull()) return false;
  if (const auto* array = value.asArray()) {
    for (const auto& element : *array) {
      if (!isPropertyListValue(element)) return false;
    }
  }
  if (const auto* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (!isPropertyListValue(element)) return false;
    }
  }
  return true;
}

}  // namespace

std::shared_ptr<DULUserDefaults> DULUserDefaults::standardUserDefaults() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& standard = *new std::shared_ptr<DULUserDefaults>(std::make_shared<DULUserDefaults>());
  return standard;
}

DULUserDefaults::DULUserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

std::shared_ptr<platform::UserDefaults> DULUserDefaults::store() const {
  return suiteName_.empty() ? platform::UserDefaultsRegistry::standard() : platform::UserDefaultsRegistry::suite(suiteName_);
}

platform::Object DULUserDefaults::objectForKey(const std::string& key) const {
  if (key.empty()) return {};
  return store()->object(key);
}

std::optional<platform::Object> DULUserDefaults::typed(const std::string& key, platform::Object::Kind kind) const {
  platform::Object value = objectForKey(key);
  if (value.kind() != kind) return std::nullopt;
  return value;
}

std::optional<std::string> DULUserDefaults::stringForKey(const std::string& key) const {
  auto value = typed(key, platform::Object::Kind::String);
  if (!value) return std::nullopt;
  return value->stringValue();
}

std::optional<platform::Array> DULUserDefaults::arrayForKey(const std::string& key) const {
  auto value = typed(key, platform::Object::Kind::Array);
  if (!value) return std::nullopt;
  return value->arrayValue();
}

std::optional<platform::Dictionary> DULUserDefaults::dictionaryForKey(const std::string& key) const {
  auto value = typed(key, platform::Object::Kind::Dictionary);
  if (!value) return std::nullopt;
  return value->dictionaryValue();
}

std::optional<platform::Data> DULUserDefaults::dataForKey(const std::string& key) const {
  auto value = typed(key, platform::Object::Kind::Data);
  if (!value) return std::nullopt;
  return value->dataValue();
}

int64_t DULUserDefaults::integerForKey(const std::string& key) const {
  platform::Object value = objectForKey(key);
  return value.isNumber() ? value.integerValue() : 0;
}

double DULUserDefaults::doubleForKey(const std::string& key) const {
  platform::Object value = objectForKey(key);
  return value.isNumber() ? value.doubleValue() : 0;
}

float DULUserDefaults::floatForKey(const std::string& key) const { return static_cast<float>(doubleForKey(key)); }

bool DULUserDefaults::boolForKey(const std::string& key) const {
  platform::Object value = objectForKey(key);
  return value.isNumber() && value.boolValue();
}

bool DULUserDefaults::setObject(const platform::Object& value, const std::string& forKey) {
  if (forKey.empty()) return false;
  if (value.isNull()) {
    store()->removeObject(forKey);
    return true;
  }
  if (!isPropertyListValue(value)) {
    DULLoggerLogWarning(kService, kTag, kRefusedValueCode,
                        "Refused to store a value that is not a property list. Key: " + forKey);
    return false;
  }
  store()->setObject(forKey, value);
  return true;
}

void DULUserDefaults::removeObjectForKey(const std::string& key) {
  if (key.empty()) return;
  store()->removeObject(key);
}

platform::Dictionary DULUserDefaults::dictionaryRepresentation() const { return store()->dictionaryRepresentation(); }

bool DULUserDefaults::synchronize() { return store()->synchronize(); }
