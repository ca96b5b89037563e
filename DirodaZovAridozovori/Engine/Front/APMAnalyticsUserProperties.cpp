#include "APMAnalyticsUserProperties.h"

#include "APMAnalytics.h"
#include "APMAnalyticsCollection.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"
#include "APMAnalyticsSupport.h"
#include "APMDataTypeValidator.h"
#include "APMEngineRegistry.h"
#include "APMEventParameters.h"
#include "APMPersistedConfig.h"
#include "APMUserAttribute.h"
#include "APMValue.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "platform/Clock.h"

using namespace apmfront;

namespace {

// About what a user-property change holds while it waits among the events (its closure and the
// property), for the room it takes.
constexpr size_t kQueuedUserPropertyOverheadBytes = 256;

size_t queuedUserPropertyBytes(const APMUserAttribute& attribute) {
  const APMValue& value = attribute.value();
  return kQueuedUserPropertyOverheadBytes + attribute.name().size() + attribute.origin().size() +
         (value.isString() ? value.stringValue().size() : 0);
}

void setPersonalizedAdsOnSerialQueue(const platform::Object& value) {
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
    APMLog(APMLogLevel::kDebug, APMAnalyticsLogCode::kPersonalizedAdsPropertyChangedWhileAnalytics,
           "Personalized Ads property changed while Analytics is disabled");
  }
  auto persisted = APMPersistedConfig::sharedInstance();
  if (value.isNull()) {
    if (persisted) persisted->consent().setAllowPersonalizedAds(std::nullopt);
    if (APMConsentSettingsUtil::adPersonalization()) APMConsentSettingsUtil::unsetAdPersonalization();
  } else if (persisted) {
    persisted->consent().setAllowPersonalizedAds(value.boolValue());
  }
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) return;
  auto measurement = engine();
  if (!measurement) return;
  auto npa = measurement->userProperties().shouldDisableAdPersonalization();
  auto attribute = std::make_shared<APMUserAttribute>(APMAnalytics::kOriginAuto,
                                                      APMAnalyticsUserProperties::kNonPersonalizedAdsPropertyName,
                                                      APMValue(npa.value_or(0)), platform::now());
  if (npa) {
    measurement->userProperties().setUserAttribute(attribute);
  } else {
    measurement->userProperties().removeUserAttribute(attribute);
  }
}

}  // namespace

void APMAnalyticsUserProperties::setUserPropertyString(const platform::Object& value, const std::string& name) {
  if (name == kAllowPersonalizedAdsName) {
    APMAnalyticsOperationQueue::queueOperationWithBlock([value] { setPersonalizedAdsOnSerialQueue(value); });
    return;
  }
  if (value.isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isString()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserPropertyMustNSString, "User property must be NSString. Value",
           value.description());
    return;
  }
  APMValue wrapped(value.stringValue());
  if (APMDataTypeValidator::isValidPublicUserAttributeValue(wrapped, &failure)) {
    setInternalUserProperty(value, name, APMAnalytics::kOriginApp);
  } else if (failure == kAPMValidationTooLong) {
    APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, value);
  }
}

void APMAnalyticsUserProperties::setUserID(const platform::Object& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName(kUserIDPropertyName);
    removeInternalUserAttributeForName(kLastAdvertisingIDResetPropertyName);
  } else if (userID.isString()) {
    setInternalUserProperty(userID, kUserIDPropertyName, APMAnalytics::kOriginApp);
  } else {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserIDMustNSString, "User ID must be NSString. User ID",
           userID.description());
  }
}

void APMAnalyticsUserProperties::removeUserAttributeForName(const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return;
  removeInternalUserAttributeForName(name);
}

void APMAnalyticsUserProperties::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = std::make_shared<APMUserAttribute>("", name, APMValue(0.0), platform::now());
  const size_t bytes = queuedUserPropertyBytes(*attribute);
  APMAnalyticsOperationQueue::waitForEventRoom(bytes);
  APMAnalyticsOperationQueue::queueOperationAmongEvents([attribute] {
    if (auto measurement = engine()) measurement->userProperties().removeUserAttribute(attribute);
  }, bytes);
}

void APMAnalyticsUserProperties::setUserAttributeNumber(const platform::Object& value, const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isNumber()) return;
  platform::Object number =
      value.isDouble() ? platform::Object(value.doubleValue()) : platform::Object(value.integerValue());
  setInternalUserProperty(number, name, APMAnalytics::kOriginAuto);
}

void APMAnalyticsUserProperties::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  APMAnalyticsOperationQueue::queueOperationWithBlock([includingInternal, queue, callback] {
    if (!callback) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAnalyticsUserPropertiesCallbackCannotNil,
             "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsUserProperties,
             "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    auto measurement = engine();
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled() || !measurement) {
      if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
        APMLog(APMLogLevel::kWarningSampledOnly, APMAnalyticsLogCode::kCannotQueryPublicUserPropertiesWhen,
               "Cannot query for public user properties when Analytics is disabled");
      }
      queue->async([callback] { callback({}); });
      return;
    }
    measurement->userProperties().userPropertiesIncludingInternal(
        includingInternal, [queue, callback](platform::Dictionary result) {
          queue->async([callback, result = std::move(result)] { callback(result); });
        });
  });
}

void APMAnalyticsUserProperties::setUserData(const platform::Dictionary& userData) {
  APMAnalyticsOperationQueue::queueOperationWithBlockThenWait([userData] {
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kAnalyticsDisabled,
             "Analytics is disabled. User data not set.");
      return;
    }
    if (auto measurement = engine()) measurement->userProperties().setUserData(userData);
  });
}

void APMAnalyticsUserProperties::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  std::optional<platform::Dictionary> shallow;
  if (parameters) shallow = APMParametersWithinStorableNesting(*parameters);
  APMAnalyticsOperationQueue::queueOperationWithBlock([parameters = std::move(shallow)] {
    if (auto measurement = engine()) measurement->userProperties().setDefaultEventParameters(parameters);
  });
}

void APMAnalyticsUserProperties::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                           const std::string& origin) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name, &failure)) {
    APMLogErrorEventForName(kAPMErrorEventInvalidUserPropertyName, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, platform::Object(name));
    return;
  }
  if (origin.empty() || origin.size() > APMDataTypeValidator::kMaxOriginLength) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kUnableSetUserProperty,
           "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  if (value.isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  auto apmValue = APMValue::valueFromObject(value);
  if (!apmValue) return;
  if (APMDataTypeValidator::isValidInternalUserAttributeValue(*apmValue, name, &failure)) {
    auto attribute = std::make_shared<APMUserAttribute>(origin, name, *apmValue, platform::now());
    const size_t bytes = queuedUserPropertyBytes(*attribute);
    APMAnalyticsOperationQueue::waitForEventRoom(bytes);
    APMAnalyticsOperationQueue::queueOperationAmongEvents([attribute] {
      if (auto measurement = engine()) measurement->userProperties().setUserAttribute(attribute);
    }, bytes);
    return;
  }
  if (failure != kAPMValidationTooLong) return;
  platform::Object shown = apmValue->isString()  ? platform::Object(apmValue->stringValue())
                           : apmValue->isInt64() ? platform::Object(std::to_string(apmValue->int64Value()))
                           : apmValue->isDouble() ? platform::Object(apmValue->description())
                                                  : platform::Object();
  APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name,
                          APMDataTypeValidator::kMaxUserAttributeNameLength, shown);
}

void APMAnalyticsUserProperties::maxUserPropertiesForOrigin(const std::string& origin,
                                                            std::shared_ptr<platform::DispatchQueue> queue,
                                                            std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserProperties,
           "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserPropertiesQueue,
           "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", origin);
    return;
  }
  if (!callback) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kNilMaxUserPropertiesCallback,
           "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  // Without an engine the answer is the fixed per-origin limit, given at once rather than held
  // behind a start that may never come.
  if (!APMEngineRegistry::hasSharedInstance()) {
    queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
    return;
  }
  APMAnalyticsOperationQueue::queueOperationWithBlock([origin, queue, callback] {
    auto measurement = engine();
    if (!measurement) {
      queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
      return;
    }
    measurement->userProperties().maxUserPropertiesForOrigin(origin, [queue, callback](int64_t limit) {
      queue->async([callback, limit] { callback(limit); });
    });
  });
}
