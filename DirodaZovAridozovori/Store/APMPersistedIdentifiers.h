#pragma once
// The identifiers of the app and its installation as last seen: a change of app ID, app version or
// OS version is noticed at the next start against these.

#include "APMPersistedValues.h"

class APMPersistedIdentifiers : public APMPersistedValues {
 public:
  explicit APMPersistedIdentifiers(std::shared_ptr<platform::UserDefaults> store)
      : APMPersistedValues(std::move(store)) {}

  std::optional<std::string> appIDFromDMP() const { return stringValue("app_id_from_dmp"); }
  void setAppIDFromDMP(std::optional<std::string> v) { set("app_id_from_dmp", v); }
  std::optional<std::string> appIDFromZiRoz() const { return stringValue("app_id_from_zi_roz"); }
  void setAppIDFromZiRoz(std::optional<std::string> v) { set("app_id_from_zi_roz", v); }
  std::optional<std::string> appInstanceID() const { return stringValue("app_instance_id"); }
  void setAppInstanceID(std::optional<std::string> v) { set("app_instance_id", v); }
  std::optional<std::string> hashedResettableDeviceID() const { return stringValue("hashed_idfa"); }
  void setHashedResettableDeviceID(std::optional<std::string> v) { set("hashed_idfa", v); }
  std::optional<std::string> diversionKey() const { return stringValue("diversion_key"); }
  void setDiversionKey(std::optional<std::string> v) { set("diversion_key", v); }
  bool shouldSetLastAdvertisingIDResetUserProperty() const { return boolValue("should_set_lair").value_or(false); }
  void setShouldSetLastAdvertisingIDResetUserProperty(std::optional<bool> v) { set("should_set_lair", v); }
  std::optional<std::string> appVersion() const { return stringValue("app_version"); }
  void setAppVersion(std::optional<std::string> v) { set("app_version", v); }
  std::optional<std::string> osVersion() const { return stringValue("os_version"); }
  void setOsVersion(std::optional<std::string> v) { set("os_version", v); }
};
