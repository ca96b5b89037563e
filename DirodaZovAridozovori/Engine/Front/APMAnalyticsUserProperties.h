#pragma once
// User properties and default event parameters at the front: the host's and the connector's
// values checked by name, kind and length, then queued for the engine among the logged events, in
// the caller's place; the personalized-ads property also sets the persisted choice and the consent.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "APMEngineUserProperties.h"
#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class APMAnalyticsUserProperties {
 public:
  // Names the front treats specially.
  static constexpr const char* kAllowPersonalizedAdsName = "allow_personalized_ads";
  static constexpr const char* kUserIDPropertyName = "_id";
  static constexpr const char* kLastAdvertisingIDResetPropertyName = "_lair";
  static constexpr const char* kNonPersonalizedAdsPropertyName = "_npa";
  // The limit the engine applies to non-public user properties of one origin.
  static constexpr int64_t kMaxUserPropertiesPerOrigin = APMEngineUserProperties::kMaxNonPublicUserPropertiesPerOrigin;

  using UserPropertiesCallback = std::function<void(const platform::Dictionary& properties)>;

  // A null value removes the property.
  static void setUserPropertyString(const platform::Object& value, const std::string& name);
  static void setUserID(const platform::Object& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const platform::Object& value, const std::string& name);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);
  static void setUserData(const platform::Dictionary& userData);
  static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);

  // The connector's entry points. value: string or number; null removes.
  static void setInternalUserProperty(const platform::Object& value, const std::string& name,
                                      const std::string& origin);
  static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                         std::function<void(int64_t)> callback);

 private:
  APMAnalyticsUserProperties() = delete;
};
