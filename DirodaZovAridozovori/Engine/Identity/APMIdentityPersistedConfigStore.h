#pragma once
// The identity's values in the SDK's persisted configuration ("app_instance_id", "hashed_idfa",
// "diversion_key" and the advertising-ID reset flag).

#include <memory>

#include "APMIdentityPersistence.h"

class APMPersistedConfig;

class APMIdentityPersistedConfigStore final : public APMIdentityPersistence {
 public:
  explicit APMIdentityPersistedConfigStore(std::shared_ptr<APMPersistedConfig> config);

  std::optional<std::string> appInstanceID() override;
  void setAppInstanceID(const std::optional<std::string>& value) override;
  std::optional<std::string> hashedResettableDeviceID() override;
  void setHashedResettableDeviceID(const std::optional<std::string>& value) override;
  std::optional<std::string> diversionKey() override;
  void setDiversionKey(const std::optional<std::string>& value) override;
  bool shouldSetLastAdvertisingIDResetUserProperty() override;
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value) override;

 private:
  const std::shared_ptr<APMPersistedConfig> config_;
};
