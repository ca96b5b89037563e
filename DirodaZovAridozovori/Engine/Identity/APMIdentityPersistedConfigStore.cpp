#include "APMIdentityPersistedConfigStore.h"

#include "DirodaZovAridozovori/Store/APMPersistedConfig.h"

APMIdentityPersistedConfigStore::APMIdentityPersistedConfigStore(std::shared_ptr<APMPersistedConfig> config)
    : config_(std::move(config)) {}

std::optional<std::string> APMIdentityPersistedConfigStore::appInstanceID() { return config_->appInstanceID(); }

void APMIdentityPersistedConfigStore::setAppInstanceID(const std::optional<std::string>& value) {
  config_->setAppInstanceID(value);
}

std::optional<std::string> APMIdentityPersistedConfigStore::hashedResettableDeviceID() {
  return config_->hashedResettableDeviceID();
}

void APMIdentityPersistedConfigStore::setHashedResettableDeviceID(const std::optional<std::string>& value) {
  config_->setHashedResettableDeviceID(value);
}

std::optional<std::string> APMIdentityPersistedConfigStore::diversionKey() { return config_->diversionKey(); }

void APMIdentityPersistedConfigStore::setDiversionKey(const std::optional<std::string>& value) {
  config_->setDiversionKey(value);
}

bool APMIdentityPersistedConfigStore::shouldSetLastAdvertisingIDResetUserProperty() {
  return config_->shouldSetLastAdvertisingIDResetUserProperty();
}

void APMIdentityPersistedConfigStore::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  config_->setShouldSetLastAdvertisingIDResetUserProperty(value);
}
