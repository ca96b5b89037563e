#pragma once
// Where the identity keeps what must survive a restart: the app instance ID, the hashed
// advertising identifier, the diversion key and the advertising-ID reset flag. Implementations are
// safe to call from any thread; the identity calls them from its worker queue only.

#include <optional>
#include <string>

class APMIdentityPersistence {
 public:
  virtual ~APMIdentityPersistence() = default;
  // Setting none removes the value.
  virtual std::optional<std::string> appInstanceID() = 0;
  virtual void setAppInstanceID(const std::optional<std::string>& value) = 0;
  virtual std::optional<std::string> hashedResettableDeviceID() = 0;
  virtual void setHashedResettableDeviceID(const std::optional<std::string>& value) = 0;
  virtual std::optional<std::string> diversionKey() = 0;
  virtual void setDiversionKey(const std::optional<std::string>& value) = 0;
  virtual bool shouldSetLastAdvertisingIDResetUserProperty() = 0;
  virtual void setShouldSetLastAdvertisingIDResetUserProperty(bool value) = 0;
};

