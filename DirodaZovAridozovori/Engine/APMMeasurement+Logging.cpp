// The engine's entry points for events, default event parameters, user properties and user data,
// and the reset of analytics data.
#include <algorithm>

#include "APMCompactParameters.h"
#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMEventRoad.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "APMFileUtilities.h"
#include "APMMeasurement.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStartUp.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

namespace {

constexpr int64_t kSessionIDErrorCode = 13;

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

// Results go out on a queue of their own, never on the worker queue.
const std::shared_ptr<platform::DispatchQueue>& callbackQueue() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& queue = *new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::create("com.diroda.zora.callbacks"));
  return queue;
}

}  // namespace

// MARK: - Default event parameters

void APMMeasurement::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:2590", [weakSelf, parameters] {
    auto self = weakSelf.lock();
    if (!self) return;
    const bool backfill = self->shouldBackfillEvents();
    self->handleSetDefaultEventParametersOnWorkerQueue(parameters, backfill);
  });
}

bool APMMeasurement::shouldBackfillEvents() {
  if (!database_) return false;
  platform::Error error;
  auto rows = database_->allRawEventsWithError(&error);
  if (!rows || rows->empty()) return false;
  const double since = initTimestamp_.load();
  for (const auto& row : *rows) {
    const auto& event = row->rawEvent();
    if (event && event->timestamp() >= since && event->origin().rfind("app", 0) == 0) return false;
  }
  return true;
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(const std::optional<platform::Dictionary>& parameters,
                                                                  bool backfillEvents) {
  platform::Dictionary result;
  if (parameters) result = persistedConfig_->defaultEventParameters().value_or(platform::Dictionary{});
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
  const int32_t limit = remoteConfig_ ? remoteConfig_->maxPublicEventParams()
                                      : APMRemoteConfig::defaultInstance()->maxPublicEventParams();
  if (limit >= 0 && result.size() > static_cast<size_t>(limit)) {
    APMTrimCustomParametersToLimit(result, static_cast<size_t>(limit));
    APMLogErrorEvent(kAPMErrorEventTooManyDefaultParameters);
    APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kTooManyDefaultEventParametersSet,
           "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  if (backfillEvents) {
    const double since = initTimestamp_.load();
    backfillEventsWithParameters(result, true, [since](const APMEvent& event) { return event.timestamp() >= since; });
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUpdatingDefaultEventParametersBackfill,
           "Updating default event parameters with backfill. Parameters", APMDescribeParameterNames(result));
  } else {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUpdatingDefaultEventParameters,
           "Updating default event parameters. Parameters", APMDescribeParameterNames(result));
  }
  persistedConfig_->setDefaultEventParameters(result);
}

void APMMeasurement::backfillEventsWithParameters(const platform::Dictionary& parameters, bool isPublic,
                                                  const std::function<bool(const APMEvent&)>& eventFilter) {
  if (parameters.empty() || !database_) return;
  platform::Error error;
  auto rows = database_->allRawEventsWithError(&error);
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
    if (!database_->updateRawEvent(*row, &updateError)) {
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

// MARK: - User properties

namespace {

// A change of the user ID or of the personalized-ads property reaches beyond the stored row (the
// session's stitching token, the consent), which an event group reads once: those close the group
// instead of joining it.
bool userAttributeChangeJoinsEventGroup(const std::string& name) { return name != "_id" && name != "_npa"; }

}  // namespace

void APMMeasurement::setUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute) {
  if (!attribute) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kAttemptedSetNilUserProperty,
           "Attempted to set nil user property");
    return;
  }
  if (userAttributeChangeJoinsEventGroup(attribute->name())) return eventRoad_->queueUserAttributeChange(*attribute, false);
  APMUserAttribute copy = *attribute;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3011", [weakSelf, copy] {
    if (auto self = weakSelf.lock()) self->setUserAttributeOnWorkerQueue(copy);
  });
}

void APMMeasurement::removeUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute) {
  if (!attribute) {
    APMLog(APMLogLevel::kWarning, APMMeasurementLogCode::kAttemptedRemoveNilUserProperty,
           "Attempted to remove nil user property");
    return;
  }
  if (userAttributeChangeJoinsEventGroup(attribute->name())) return eventRoad_->queueUserAttributeChange(*attribute, true);
  APMUserAttribute copy = *attribute;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:2966", [weakSelf, copy] {
    if (auto self = weakSelf.lock()) self->removeUserAttributeOnWorkerQueue(copy);
  });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!checkWorkerQueue("setUserAttributeOnWorkerQueue:")) return;
  if (!isEnabled() || !database_) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabledUserPropertyNotSet,
           "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!database_) return false;
  const std::string& name = attribute.name();
  platform::Error error;
  auto stored = database_->userAttributeWithName(name, &error);
  if (!stored && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableQueryExistenceUserProperty,
           "Unable to query existence of user property. Name, error", name, error);
    return false;
  }
  if (name == "_id" && stored && attribute.value().isString() && stored->value().isString() &&
      stored->value().stringValue() != attribute.value().stringValue()) {
    if (identity_) identity_->resetSessionStitchingToken();
    platform::Error ignored;
    database_->deleteUserAttributeWithName("_lair", &ignored);
  }
  if (name == "_npa") updateAdPersonalizationConsentFromNPAValue(attribute.value().int64Value());
  if (!stored) {
    platform::Error countError;
    const bool isPublic = attribute.isPublic();
    auto count = isPublic ? database_->publicUserAttributeCount(&countError)
                          : database_->userAttributeCountForOrigin(attribute.origin(), &countError);
    if (!count) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableQueryUserPropertyCount,
             "Unable to query user property count. Origin, error", attribute.origin(), countError);
      return false;
    }
    const int64_t limit = isPublic ? (remoteConfig_ ? remoteConfig_->maxPublicUserProperties() : 25)
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
  if (!database_->updateUserAttribute(attribute, &updateError)) {
    APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableSetUserPropertyNameValueError,
           "Unable to set user property. Name, value, error", name, attribute.value().description(), updateError);
    return false;
  }
  APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUserPropertySet, "User property set. Name, value", name,
         attribute.value().description());
  return true;
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!checkWorkerQueue("removeUserAttributeOnWorkerQueue:")) return;
  if (!isEnabled() || !database_) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabledUserPropertyNotRemoved,
           "Analytics is disabled. User property not removed");
    return;
  }
  if (attribute.name() == "_id" && identity_) identity_->resetSessionStitchingToken();
  removeUserPropertyFromDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::removeUserPropertyFromDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  platform::Error error;
  if (database_->deleteUserAttributeWithName(attribute.name(), &error) || error.empty()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kUserPropertyRemoved, "User property removed. Name",
           attribute.name());
    return true;
  }
  APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableRemoveUserProperty,
         "Unable to remove user property. Name, error", attribute.name(), error);
  return false;
}

void APMMeasurement::userAttributeWithName(const std::string& name,
                                           std::function<void(std::shared_ptr<APMUserAttribute>)> callback) {
  if (!callback) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kUserAttributeWithNameCallbackNil,
           "userAttributeWithName callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3152", [weakSelf, name, callback] {
    std::shared_ptr<APMUserAttribute> result;
    auto self = weakSelf.lock();
    if (self && self->database_) {
      platform::Error error;
      result = self->database_->userAttributeWithName(name, &error);
      if (!result && !error.empty())
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kUnableGetUserAttributeName,
               "Unable to get user attribute by name. Name", name);
    }
    callbackQueue()->async([callback, result] { callback(result); });
  });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includingInternal,
                                                     std::function<void(platform::Dictionary)> callback) {
  if (!callback) {
    APMLog(APMLogLevel::kError, APMMeasurementLogCode::kUnableRetrieveUserProperties,
           "Unable to retrieve user properties. Callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3207", [weakSelf, includingInternal, callback] {
    platform::Dictionary result;
    auto self = weakSelf.lock();
    if (self && self->database_) {
      platform::Error error;
      auto attributes = self->database_->userAttributesIncludingInternal(includingInternal, &error);
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
    callbackQueue()->async([callback, result] { callback(result); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int64_t)> callback) {
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
  callbackQueue()->async([callback] { callback(kMaxNonPublicUserPropertiesPerOrigin); });
}

bool APMMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  if (!database_) return false;
  platform::Error error;
  return database_->containsUserAttributeWithName("_id", &error).value_or(false);
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  if (!database_ || !hasUserPropertyUserIDOnWorkerQueue()) return;
  platform::Error error;
  if (database_->containsUserAttributeWithName("_lair", &error).value_or(true)) return;
  if (setInternalUserPropertyOnWorkerQueue("_lair", APMValue(static_cast<int64_t>(1)), platform::now()) && identity_) {
    eventRoad_->afterCommit(
        [identity = identity_] { identity->setShouldSetLastAdvertisingIDResetUserProperty(false); });
  }
}

void APMMeasurement::sessionIDWithCompletion(std::function<void(int64_t, std::optional<platform::Error>)> completion) {
  if (!completion) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3360", [weakSelf, completion] {
    auto fail = [&](const char* description) {
      platform::Error error;
      APMSetError(&error, kSessionIDErrorCode, description);
      completion(0, error);
    };
    auto self = weakSelf.lock();
    if (!self) return fail("Analytics deallocated");
    if (!self->isEnabled() || !self->database_) return fail("Analytics disabled");
    if (self->sessions_->isSessionExpiredOnWorkerQueue()) return fail("Session expired");
    platform::Error error;
    auto sessionID = self->database_->userAttributeWithName("_sid", &error);
    if (!sessionID || !(sessionID->value().isInt64() || sessionID->value().isDouble())) {
      return fail("Session ID not found");
    }
    const APMValue& value = sessionID->value();
    completion(value.isInt64() ? value.int64Value() : static_cast<int64_t>(value.doubleValue()), std::nullopt);
  });
}

void APMMeasurement::setUserData(const platform::Dictionary& userData) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3367", [weakSelf, userData] {
    auto self = weakSelf.lock();
    if (self) self->forEachComponent([&](APMEngineComponent& component) { component.setUserData(userData); });
  });
}

void APMMeasurement::filterPurchaseTransactions(std::vector<APMPurchaseTransaction> transactions,
                                                std::function<void(std::vector<APMPurchaseTransaction>)> callback) {
  if (!callback) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  submit("APMMeasurement:3838", [weakSelf, transactions = std::move(transactions), callback] {
    auto self = weakSelf.lock();
    std::vector<APMPurchaseTransaction> kept;
    for (const auto& transaction : transactions) {
      if (transaction.state != 1) continue;
      if (transaction.fingerprint.empty()) {
        APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kPurchaseNilEmptyFingerprint,
               "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
               "Product ID",
               transaction.productID);
        kept.push_back(transaction);
        continue;
      }
      if (!self || !self->database_) {
        kept.push_back(transaction);
        continue;
      }
      platform::Error error;
      auto isNew = self->database_->insertIfNotDuplicatePurchaseFingerprint(transaction.fingerprint, &error);
      if (!isNew) {
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedSavePurchaseFingerprint,
               "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
               "Product ID, error",
               transaction.productID, error);
        kept.push_back(transaction);
      } else if (*isNew) {
        kept.push_back(transaction);
      } else {
        APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kPurchaseDuplicateNotReported,
               "Purchase is a duplicate and will not be reported. Product ID", transaction.productID);
      }
    }
    callbackQueue()->async([callback, kept = std::move(kept)] { callback(kept); });
  });
}

// MARK: - Reset

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::string& appInstanceID) {
  if (appInstanceID.empty()) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotResetEmptyAppInstanceID,
             "Cannot reset with an empty app instance ID");
      return false;
    }
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kResettingEmptyAppInstanceID,
           "Resetting with an empty app instance ID");
  }
  auto hooks = APMAnalyticsHooksSnapshot();
  const double loadTimestamp = hooks->loadTimestamp ? hooks->loadTimestamp() : platform::now();
  bool success = false;
  auto work = [&] {
    success = wipeoutAnalyticsDataAndResetComponents();
    if (!success) return;
    persistedConfig_->setAppInstanceID(appInstanceID);
    startUp_->updatePersistedAppIDFromDMP();
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsDataReset, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ && hooks->deferredAnalyticsCollection &&
        !hooks->deferredAnalyticsCollection() && hooks->setDeferredAnalyticsCollection) {
      hooks->setDeferredAnalyticsCollection(!isEnabled());
    }
    initTimestamp_ = loadTimestamp;
    persistedConfig_->setLoadTimestampValue(loadTimestamp);
    if (isEnabled()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      startUp_->reportFirstOpenOnWorkerQueue();
    }
  };
  if (isOnWorkerQueue()) {
    // Waiting for the worker queue from one of its own blocks would never end.
    work();
  } else {
    eventRoad_->closeOpenGroup();
    scheduler_->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3406", work);
  }
  return success;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  auto monitor = log();
  APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kResettingAppMeasurementData, "Resetting App Measurement data");
  forEachComponent([](APMEngineComponent& component) { component.willWipeData(); });
  startUp_->setPreviousDMPAppID(persistedConfig_->appIDFromDMP());
  persistedConfig_->clearValues();
  monitor->clearMonitoringData();
  if (APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }
  if (database_) {
    platform::Error error;
    if (!database_->reset(&error)) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedResetDatabase, "Failed to reset database",
             error);
      return false;
    }
    if (remoteConfig_) remoteConfig_->reset();
    sessions_->createSessionReporterOnWorkerQueue();
    sessions_->setSessionReportingEnabledOnWorkerQueue(isEnabled());
  } else {
    platform::Error error;
    if (!APMDeleteFile(APMApplicationSupportPath(databaseName_), &error) && !error.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedDeleteOldDatabaseFile,
             "Failed to delete old database file. Error", error);
    }
  }
  if (identity_) {
    identity_->updateIdentifiersAndWait();
    identity_->resetEphemeralAppInstanceID();
    identity_->resetSessionStitchingToken();
  }
  return true;
}
