#pragma once
// The engine's user properties and default event parameters: the entry points any thread calls
// (they copy their arguments and queue a worker block, or hand the change to the event road), the
// worker's writes with their limits, the backfill of default parameters into waiting events, and
// the personalized-ads property ("_npa") with the consent it follows. Owned by the engine, which it
// reads through the engine's public face.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "APMUserAttribute.h"
#include "platform/Object.h"

class APMEvent;
class APMMeasurement;

class APMEngineUserProperties {
 public:
  static constexpr int64_t kMaxNonPublicUserPropertiesPerOrigin = 25;

  explicit APMEngineUserProperties(APMMeasurement& engine) : engine_(engine) {}
  APMEngineUserProperties(const APMEngineUserProperties&) = delete;
  APMEngineUserProperties& operator=(const APMEngineUserProperties&) = delete;

  // ---- Any thread. Results go out on the engine's callback queue.
  void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
  void setUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute);
  void removeUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute);
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::shared_ptr<APMUserAttribute>)> callback);
  void userPropertiesIncludingInternal(bool includingInternal,
                                       std::function<void(platform::Dictionary)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int64_t)> callback);
  // The user's own data (hashed by the components that match on it), handed to every component.
  void setUserData(const platform::Dictionary& userData);

  // ---- Worker queue: default event parameters.
  bool shouldBackfillEvents();
  void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<platform::Dictionary>& parameters,
                                                    bool backfillEvents);
  void backfillEventsWithParameters(const platform::Dictionary& parameters, bool isPublic,
                                    const std::function<bool(const APMEvent&)>& eventFilter);

  // ---- Worker queue: user properties.
  void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
  bool removeUserPropertyFromDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  // An "auto" property of the engine's own.
  bool setInternalUserPropertyOnWorkerQueue(const std::string& name, const APMValue& value, double timestamp);
  bool hasUserPropertyUserIDOnWorkerQueue();
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  double firstOpenTimestamp();

  // ---- The personalized-ads property and the consent it follows.
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void updateAdPersonalizationConsentFromNPAValue(const std::optional<int64_t>& npa);
  void updateConsentSettingsUtilWithRemoteConfig();
  // Any thread.
  std::optional<int64_t> shouldDisableAdPersonalization();
  bool shouldAllowAdNetworkRegistration() const;
  // Set when a new configuration changed the ad-personalization consent; the upload road writes
  // the property again before its next upload.
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
  void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }

 private:
  APMMeasurement& engine_;
  std::atomic<bool> foundAdPersonalizationPlistFlag_{false};  // also set by callers on other queues
  bool shouldUpdateNPAUserProperty_ = false;                   // worker queue only
};
