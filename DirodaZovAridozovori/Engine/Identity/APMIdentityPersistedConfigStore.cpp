#include "APMIdentityPersistedConfigStore.h"

#include "DirodaZovAridozovori/Store/APMPersistedConfig.h"

APMIdentityPersistedConfigStore::APMIdentityPersistedConfigStore(std::shared_ptr<APMPersistedConfig> config)
    : config_(std::move(config)) {}

std::optional<std::string> APMIdentityPersistedConfigStore::appInstanceID() {
  return config_->identifiers().appInstanceID();
}

void APMIdentityPersistedConfigStore::setAppInstanceID(const std::optional<std::string>& value) {
  config_->identifiers().setAppInstanceID(value);
}

std::optional<std::string> APMIdentityPersistedConfigStore::hashedResettableDeviceID() {
  return config_->identifiers().hashedResettableDeviceID();
}

void APMIdentityPersistedConfigStore::setHashedResettableDeviceID(const std::optional<std::string>& value) {
  config_->identifiers().setHashedResettableDeviceID(value);
}

std::optional<std::string> APMIdentityPersistedConfigStore::diversionKey() {
  return config_->identifiers().diversionKey();
}

void APMIdentityPersistedConfigStore::setDiversionKey(const std::optional<std::string>& value) {
  config_->identifiers().setDiversionKey(value);
}

bool APMIdentityPersistedConfigStore::shouldSetLastAdvertisingIDResetUserProperty() {
  return config_->identifiers().shouldSetLastAdvertisingIDResetUserProperty();
}

void APMIdentityPersistedConfigStore::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  config_->identifiers().setShouldSetLastAdvertisingIDResetUserProperty(value);
}
