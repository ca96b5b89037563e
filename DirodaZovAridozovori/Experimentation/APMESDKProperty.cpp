#include "APMESDKProperty.h"

#include "APMEMonitor.h"
#include "APMNanoAccessors.h"

namespace {

struct DiversionKeySource {
  std::mutex mutex;
  std::function<std::string()> provider;
};

DiversionKeySource& diversionKeySource() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& source = *new DiversionKeySource;
  return source;
}

std::string defaultDiversionKey() {
  std::function<std::string()> provider;
  {
    auto& source = diversionKeySource();
    std::lock_guard<std::mutex> lock(source.mutex);
    provider = source.provider;
  }
  // Called outside the lock: the provider may wait for the identity's own queue.
  return provider ? provider() : std::string();
}

}  // namespace

void APMESDKProperty::setDefaultDiversionKeyProvider(std::function<std::string()> provider) {
  auto& source = diversionKeySource();
  std::lock_guard<std::mutex> lock(source.mutex);
  source.provider = std::move(provider);
}

std::string APMESDKProperty::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return name_;
}
int64_t APMESDKProperty::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}
void APMESDKProperty::setVersion(int64_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}
std::optional<std::string> APMESDKProperty::appID() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appID_;
}
void APMESDKProperty::setAppID(std::optional<std::string> appID) {
  std::lock_guard<std::mutex> lock(mutex_);
  appID_ = std::move(appID);
}
std::optional<std::string> APMESDKProperty::diversionKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return diversionKey_;
}
void APMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}
std::map<std::string, std::string> APMESDKProperty::customProperties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return customProperties_;
}
void APMESDKProperty::setCustomProperties(std::map<std::string, std::string> customProperties) {
  std::lock_guard<std::mutex> lock(mutex_);
  customProperties_ = std::move(customProperties);
}
std::shared_ptr<APMESDKPropertyDelegate> APMESDKProperty::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}
void APMESDKProperty::setDelegate(std::weak_ptr<APMESDKPropertyDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  const std::string name = this->name();
  std::string key = diversionKey().value_or("");
  if (key.empty()) key = defaultDiversionKey();
  if (key.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kEmptyDiversionKey, "Diversion key is empty");
    return nullptr;
  }
  auto message = std::make_shared<APMPBClientProperty>();
  APMNanoSetString(*message, APMPBClientProperty::kDiversion, key + "-" + name);
  APMNanoSetString(*message, APMPBClientProperty::kSdkName, name);
  APMNanoSetString(*message, APMPBClientProperty::kAppId, appID());
  APMNanoSetInt64(*message, APMPBClientProperty::kSdkVersion, version());

  auto properties = customProperties();
  if (auto source = delegate()) {
    if (auto dynamic = source->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [propertyName, value] : *dynamic) properties.insert_or_assign(propertyName, value);
    }
  }
  if (properties.empty()) return message;
  std::vector<std::shared_ptr<APMPBCustomProperty>> entries;
  entries.reserve(properties.size());
  for (const auto& [propertyName, value] : properties) {
    auto entry = std::make_shared<APMPBCustomProperty>();
    APMNanoSetString(*entry, APMPBCustomProperty::kName, propertyName);
    APMNanoSetString(*entry, APMPBCustomProperty::kValue, value);
    entries.push_back(std::move(entry));
  }
  APMNanoSetRepeatedField(*message, APMPBClientProperty::kCustomProperties, entries);
  return message;
}
