#include "APMEngineUserProperties.h"

#include <algorithm>
#include <cctype>

#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Consent/APMConsentVocabulary.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"

namespace {

constexpr const char* kPlistAllowAdPersonalizationKey = "DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
constexpr const char* kPlistAdNetworkRegistrationKey = "DIRODA_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";

}  // namespace

// MARK: - Default event parameters

void APMEngineUserProperties::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:2590", [weakEngine, parameters] {
    auto self = weakEngine.lock();
    if (!self) return;
    const bool backfill = self->userProperties().shouldBackfillEvents();
    self->userProperties().handleSetDefaultEventParametersOnWorkerQueue(parameters, backfill);
  });
}

bool APMEngineUserProperties::shouldBackfillEvents() {
  if (!engine_.database()) return false;
  platform::Error error;
  auto rows = engine_.database()->rawEvents().allRawEventsWithError(&error);
  if (!rows || rows->empty()) return false;
  const double since = engine_.initTimestamp();
  for (const auto& row : *rows) {
    const auto& event = row->rawEvent();
    if (event && event->timestamp() >= since && event->origin().rfind("app", 0) == 0) return false;
  }
  return true;
}

void APMEngineUserProperties::handleSetDefaultEventParametersOnWorkerQueue(const std::optional<platform::Dictionary>& parameters,
                                                                  bool backfillEvents) {
  platform::Dictionary result;
  if (parameters) result = engine_.setup().persistedConfig->defaultEventParameters().value_or(platform::Dictionary{});
  if (parameters) {
    for (const auto& [key, value] : *parameters) {
      if (value.isArray()) {
        APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kInvalidKeyDefaultEventParameters,
               "Invalid key in default event parameters. Parameter ignored.", key);
        APMLogErrorEvent(kAPMErrorEventArrayDefaultParameter);
        continue;
      }
      if (!value.isNull() && !value.isNumber() && !value.isString()) {
        APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kInvalidKeyDefaultEventParameters,
               "Invalid key in default event parameters. Parameter ignored.", key);
        continue;
      }
      int failure = 0;
      if (!APMDataTypeValidator::isValidPublicEventParameterName(key, &failure)) {
        APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kInvalidDefaultEventParameterName,
               "Invalid default event parameter name. Name", key);
        continue;
      }
      if (value.isNull()) {
        result.erase(key);
        continue;
      }
      auto apmValue = APMValue::valueFromObject(value);
      if (apmValue && APMDataTypeValidator::isValidPublicEventParameterValue(*apmValue, &failure)) result[key] = value;
    }
  }
  const int32_t limit = engine_.remoteConfigInstance() ? engine_.remoteConfigInstance()->eventLimits().maxPublicEventParams()
                                      : APMRemoteConfig::defaultInstance()->eventLimits().maxPublicEventParams();
  if (limit >= 0 && result.size() > static_cast<size_t>(limit)) {
    APMTrimCustomParametersToLimit(result, static_cast<size_t>(limit));
    APMLogErrorEvent(kAPMErrorEventTooManyDefaultParameters);
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kTooManyDefaultEventParametersSet,
           "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  if (backfillEvents) {
    const double since = engine_.initTimestamp();
    backfillEventsWithParameters(result, true, [since](const APMEvent& event) { return event.timestamp() >= since; });
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUpdatingDefaultEventParametersBackfill,
           "Updating default event parameters with backfill. Parameters", APMDescribeParameterNames(result));
  } else {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUpdatingDefaultEventParameters,
           "Updating default event parameters. Parameters", APMDescribeParameterNames(result));
  }
  engine_.setup().persistedConfig->setDefaultEventParameters(result);
}

void APMEngineUserProperties::backfillEventsWithParameters(const platform::Dictionary& parameters, bool isPublic,
                                                  const std::function<bool(const APMEvent&)>& eventFilter) {
  if (parameters.empty() || !engine_.database()) return;
  platform::Error error;
  auto rows = engine_.database()->rawEvents().allRawEventsWithError(&error);
  if (!rows) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableBackfillEventsDefaultEventParameters,
           "Unable to backfill events with default event parameters. Fetch failed. Error", error);
    return;
  }
  int64_t failures = 0;
  platform::Error lastError;
  for (const auto& row : *rows) {
    const auto& event = row->rawEvent();
    if (!event || (eventFilter && !eventFilter(*event))) continue;
    event->applyParameters(parameters, isPublic);
    platform::Error updateError;
    if (!engine_.database()->rawEvents().updateRawEvent(*row, &updateError)) {
      ++failures;
      lastError = updateError;
    }
  }
  if (failures > 0) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableBackfillSomeEventsDefaultEvent,
           "Unable to backfill some events with default event parameters. Update failed. Count, last error", failures,
           lastError);
  }
}

// MARK: - User data

void APMEngineUserProperties::setUserData(const platform::Dictionary& userData) {
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3367", [weakEngine, userData] {
    auto self = weakEngine.lock();
    if (!self) return;
    for (const auto& component : self->components().list()) component->setUserData(userData);
  });
}

// MARK: - User properties

namespace {

// A change of the user ID or of the personalized-ads property reaches beyond the stored row (the
// session's stitching token, the consent), which an event group reads once: those close the group
// instead of joining it.
bool userAttributeChangeJoinsEventGroup(const std::string& name) { return name != "_id" && name != "_npa"; }

}  // namespace

void APMEngineUserProperties::setUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute) {
  if (!attribute) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kAttemptedSetNilUserProperty,
           "Attempted to set nil user property");
    return;
  }
  if (userAttributeChangeJoinsEventGroup(attribute->name())) return engine_.eventRoad().queueUserAttributeChange(*attribute, false);
  APMUserAttribute copy = *attribute;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3011", [weakEngine, copy] {
    if (auto self = weakEngine.lock()) self->userProperties().setUserAttributeOnWorkerQueue(copy);
  });
}

void APMEngineUserProperties::removeUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute) {
  if (!attribute) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kAttemptedRemoveNilUserProperty,
           "Attempted to remove nil user property");
    return;
  }
  if (userAttributeChangeJoinsEventGroup(attribute->name())) return engine_.eventRoad().queueUserAttributeChange(*attribute, true);
  APMUserAttribute copy = *attribute;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:2966", [weakEngine, copy] {
    if (auto self = weakEngine.lock()) self->userProperties().removeUserAttributeOnWorkerQueue(copy);
  });
}

void APMEngineUserProperties::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!engine_.checkWorkerQueue("setUserAttributeOnWorkerQueue:")) return;
  if (!engine_.collection().isEnabled() || !engine_.database()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabledUserPropertyNotSet,
           "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMEngineUserProperties::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!engine_.database()) return false;
  const std::string& name = attribute.name();
  platform::Error error;
  auto stored = engine_.database()->userProperties().userAttributeWithName(name, &error);
  if (!stored && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableQueryExistenceUserProperty,
           "Unable to query existence of user property. Name, error", name, error);
    return false;
  }
  if (name == "_id" && stored && attribute.value().isString() && stored->value().isString() &&
      stored->value().stringValue() != attribute.value().stringValue()) {
    if (engine_.identity()) engine_.identity()->ephemeralIdentifiers().resetSessionStitchingToken();
    platform::Error ignored;
    engine_.database()->userProperties().deleteUserAttributeWithName("_lair", &ignored);
  }
  if (name == "_npa") updateAdPersonalizationConsentFromNPAValue(attribute.value().int64Value());
  if (!stored) {
    platform::Error countError;
    const bool isPublic = attribute.isPublic();
    auto count =
        isPublic ? engine_.database()->userProperties().publicUserAttributeCount(&countError)
                 : engine_.database()->userProperties().userAttributeCountForOrigin(attribute.origin(), &countError);
    if (!count) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableQueryUserPropertyCount,
             "Unable to query user property count. Origin, error", attribute.origin(), countError);
      return false;
    }
    const int64_t limit = isPublic ? (engine_.remoteConfigInstance() ? engine_.remoteConfigInstance()->eventLimits().maxPublicUserProperties() : 25)
                                   : kMaxNonPublicUserPropertiesPerOrigin;
    if (*count >= limit) {
      APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kUnableSetUserProperty,
             "Unable to set user property. Reached limit on set user properties for origin. Origin, "
             "name, value",
             attribute.origin(), name, attribute.value().description());
      APMLogErrorEvent(kAPMErrorEventUserPropertyLimit);
      return false;
    }
  }
  platform::Error updateError;
  if (!engine_.database()->userProperties().updateUserAttribute(attribute, &updateError)) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableSetUserPropertyNameValueError,
           "Unable to set user property. Name, value, error", name, attribute.value().description(), updateError);
    return false;
  }
  // The value's text is built only for a line that is printed: properties change often.
  if (APMLogWouldProcess(APMLogLevel::kDebug)) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUserPropertySet, "User property set. Name, value", name,
           attribute.value().description());
  }
  return true;
}

void APMEngineUserProperties::removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!engine_.checkWorkerQueue("removeUserAttributeOnWorkerQueue:")) return;
  if (!engine_.collection().isEnabled() || !engine_.database()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabledUserPropertyNotRemoved,
           "Analytics is disabled. User property not removed");
    return;
  }
  if (attribute.name() == "_id" && engine_.identity()) engine_.identity()->ephemeralIdentifiers().resetSessionStitchingToken();
  removeUserPropertyFromDatabaseOnWorkerQueue(attribute);
}

bool APMEngineUserProperties::removeUserPropertyFromDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  platform::Error error;
  if (engine_.database()->userProperties().deleteUserAttributeWithName(attribute.name(), &error) || error.empty()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUserPropertyRemoved, "User property removed. Name",
           attribute.name());
    return true;
  }
  APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableRemoveUserProperty,
         "Unable to remove user property. Name, error", attribute.name(), error);
  return false;
}

void APMEngineUserProperties::userAttributeWithName(const std::string& name,
                                           std::function<void(std::shared_ptr<APMUserAttribute>)> callback) {
  if (!callback) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kUserAttributeWithNameCallbackNil,
           "userAttributeWithName callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3152", [weakEngine, name, callback] {
    std::shared_ptr<APMUserAttribute> result;
    auto self = weakEngine.lock();
    if (self && self->database()) {
      platform::Error error;
      result = self->database()->userProperties().userAttributeWithName(name, &error);
      if (!result && !error.empty())
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableGetUserAttributeName,
               "Unable to get user attribute by name. Name", name);
    }
    APMEngineCallbackQueue()->async([callback, result] { callback(result); });
  });
}

void APMEngineUserProperties::userPropertiesIncludingInternal(bool includingInternal,
                                                     std::function<void(platform::Dictionary)> callback) {
  if (!callback) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kUnableRetrieveUserProperties,
           "Unable to retrieve user properties. Callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:3207", [weakEngine, includingInternal, callback] {
    platform::Dictionary result;
    auto self = weakEngine.lock();
    if (self && self->database()) {
      platform::Error error;
      auto attributes = self->database()->userProperties().userAttributesIncludingInternal(includingInternal, &error);
      if (!attributes)
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableRetrieveUserPropertiesError,
               "Unable to retrieve user properties. Error", error);
      for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMUserAttribute>>{})) {
        if (!attribute || attribute->name().empty()) {
          APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kCannotAddInvalidPublicUserProperty,
                 "Cannot add invalid public user property name or value.");
          continue;
        }
        const APMValue& value = attribute->value();
        if (value.isString()) {
          result[attribute->name()] = value.stringValue();
        } else if (value.isDouble()) {
          result[attribute->name()] = value.doubleValue();
        } else if (value.isInt64()) {
          result[attribute->name()] = value.int64Value();
        }
      }
    }
    APMEngineCallbackQueue()->async([callback, result] { callback(result); });
  });
}

void APMEngineUserProperties::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kNilMaxUserPropertiesOrigin,
           "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kNilMaxUserPropertiesCallback,
           "MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  APMEngineCallbackQueue()->async([callback] { callback(kMaxNonPublicUserPropertiesPerOrigin); });
}

bool APMEngineUserProperties::hasUserPropertyUserIDOnWorkerQueue() {
  if (!engine_.database()) return false;
  platform::Error error;
  return engine_.database()->userProperties().containsUserAttributeWithName("_id", &error).value_or(false);
}

void APMEngineUserProperties::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  if (!engine_.database() || !hasUserPropertyUserIDOnWorkerQueue()) return;
  platform::Error error;
  if (engine_.database()->userProperties().containsUserAttributeWithName("_lair", &error).value_or(true)) return;
  if (setInternalUserPropertyOnWorkerQueue("_lair", APMValue(static_cast<int64_t>(1)), platform::now()) && engine_.identity()) {
    engine_.eventRoad().afterCommit(
        [identity = engine_.identity()] { identity->setShouldSetLastAdvertisingIDResetUserProperty(false); });
  }
}

bool APMEngineUserProperties::setInternalUserPropertyOnWorkerQueue(const std::string& name, const APMValue& value,
                                                          double timestamp) {
  return setUserPropertyInDatabaseOnWorkerQueue(APMUserAttribute("auto", name, value, timestamp));
}

// MARK: - Personalised ads and consent

void APMEngineUserProperties::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  if (!engine_.checkWorkerQueue("setPersonalizedAdsUserPropertyOnWorkerQueue") || !engine_.database()) return;
  platform::Error error;
  auto stored = engine_.database()->userProperties().userAttributeWithName("_npa", &error);
  if (!stored && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableReadPersonalizedAdsUserProperty,
           "Unable to read personalized ads user property. Error", error);
    return;
  }
  auto npa = shouldDisableAdPersonalization();
  if (!npa) {
    if (!stored) return;
    platform::Error deleteError;
    if (engine_.database()->userProperties().deleteUserAttributeWithName("_npa", &deleteError)) {
      APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kNoValueSetPersonalizedAds,
             "No value set for personalized ads. Removing user property.");
      APMConsentSettingsUtil::setDiagnosticSource(APMConsentVocabulary::kDiagnosticNone,
                                                  APMConsentVocabulary::kAdPersonalization);
    } else {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableRemovePersonalizedAdsUserProperty,
             "Unable to remove personalized ads user property in the database. Error", deleteError);
    }
    return;
  }
  if (!APMConsentSettingsUtil::adPersonalization()) updateAdPersonalizationConsentFromNPAValue(npa);
  if (!stored || stored->value().int64Value() != *npa) {
    setInternalUserPropertyOnWorkerQueue("_npa", APMValue(*npa), platform::now());
  }
}

void APMEngineUserProperties::updateAdPersonalizationConsentFromNPAValue(const std::optional<int64_t>& npa) {
  using Consent = APMConsentSettingsUtil;
  using Vocabulary = APMConsentVocabulary;
  auto current = Consent::adPersonalization();
  // The consent answers "granted" as true; an NPA value of true means not granted.
  if (npa && current && ((*current != 0) == (*npa == 0))) return;
  if (!npa) return;
  Consent::updateSettings(
      {{Vocabulary::kAdPersonalization, std::string(*npa != 0 ? Vocabulary::kDenied : Vocabulary::kGranted)}});
  std::optional<int64_t> diagnostic;
  if (engine_.setup().persistedConfig->consent().allowPersonalizedAds()) {
    diagnostic = Vocabulary::kDiagnosticFromApp;
  } else if (foundAdPersonalizationPlistFlag_) {
    diagnostic = Vocabulary::kDiagnosticFromInfoPlist;
  } else if (auto defaults = Consent::defaultSettings(); defaults && platform::find(*defaults, Vocabulary::kAdPersonalization)) {
    diagnostic = Vocabulary::kDiagnosticFromDefaults;
  }
  if (diagnostic) Consent::setDiagnosticSource(*diagnostic, Vocabulary::kAdPersonalization);
}

void APMEngineUserProperties::updateConsentSettingsUtilWithRemoteConfig() {
  using Consent = APMConsentSettingsUtil;
  if (!engine_.remoteConfigInstance()) return;
  const auto before = Consent::adPersonalization();
  auto defaults = engine_.remoteConfigInstance()->consent().consentDefaults();
  auto delegations = engine_.remoteConfigInstance()->consent().consentDelegations();
  if (!defaults.empty() || !delegations.empty()) {
    Consent::setDefaultSettings(defaults);
    Consent::setDelegatedSettings(delegations);
  }
  auto regional = engine_.remoteConfigInstance()->consent().regionalDefaults();
  Consent::setRegionalDefaults(regional.empty() ? std::nullopt : std::optional<platform::Dictionary>(regional));
  const auto after = Consent::adPersonalization();
  if (after && after != before) shouldUpdateNPAUserProperty_ = true;
}

double APMEngineUserProperties::firstOpenTimestamp() {
  if (!engine_.database()) return 0;
  platform::Error error;
  auto firstOpen = engine_.database()->userProperties().userAttributeWithName("_fot", &error);
  if (firstOpen) return firstOpen->lastSetTimestamp();
  auto all = engine_.database()->userProperties().userAttributesIncludingInternal(true, &error);
  if (!all) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableQueryCurrentUserProperties,
           "Unable to query current user properties. Error", error);
    return 0;
  }
  if (all->empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kCannotExtractFirstOpenTimestamp,
           "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = (*all)[0]->lastSetTimestamp();
  for (const auto& property : *all) earliest = std::min(earliest, property->lastSetTimestamp());
  return earliest;
}

bool APMEngineUserProperties::shouldAllowAdNetworkRegistration() const {
  auto value = platform::Bundle::objectForInfoDictionaryKey(kPlistAdNetworkRegistrationKey);
  if (!value.isNumber()) return true;
  return value.boolValue();
}

std::optional<int64_t> APMEngineUserProperties::shouldDisableAdPersonalization() {
  using Consent = APMConsentSettingsUtil;
  using Vocabulary = APMConsentVocabulary;
  if (auto allow = engine_.setup().persistedConfig->consent().allowPersonalizedAds()) return *allow ? 0 : 1;
  if (auto settings = Consent::consentSettings(); settings && platform::find(*settings, Vocabulary::kAdPersonalization)) {
    auto granted = Consent::adPersonalization();
    return (granted && *granted != 0) ? 0 : 1;
  }
  auto plist = platform::Bundle::objectForInfoDictionaryKey(kPlistAllowAdPersonalizationKey);
  if (!plist.isNull()) {
    if (plist.isNumber()) {
      foundAdPersonalizationPlistFlag_ = true;
      return plist.boolValue() ? 0 : 1;
    }
    return 0;
  }
  if (auto defaults = Consent::defaultSettings()) {
    if (const auto* value = platform::find(*defaults, Vocabulary::kAdPersonalization); value && value->asString()) {
      std::string text = *value->asString();
      for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (text == Vocabulary::kDenied) return 1;
      if (text == Vocabulary::kGranted) return 0;
    }
  }
  return std::nullopt;
}
