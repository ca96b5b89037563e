#include "APMOnDeviceConversionReporter.h"

#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <mutex>

#include "APMDatabase.h"
#include "APMEvent.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPSMRequest.h"
#include "APMPersistedConfig.h"
#include "APMScheduler.h"
#include "APMUserAttribute.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Engine/OnDeviceConversion/APMOnDeviceConversionLog.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Clock.h"
#include "platform/ProcessInfo.h"

using platform::PrivateSetMembershipIdentifier;
using Links = APMOnDeviceConversionLinks;
using Records = APMOnDeviceConversionRecords;

namespace {

constexpr const char* kConversionBlockID = "APMMeasurement:186";
constexpr const char* kPostponedQueryBlockID = "APMMeasurement:187";
constexpr const char* kQueryReplyBlockID = "APMMeasurement:psm";
constexpr const char* kRetryBlockID = "APMMeasurement:psm-retry";
constexpr const char* kDeprecatedFrameworkReason =
    "DirodaZovAridozovoriOnDeviceConversion (deprecated) framework and DirodaAdsOnDeviceConversion framework are "
    "both linked into the app. Remove the DirodaZovAridozovoriOnDeviceConversion (deprecated) framework, which is no "
    "longer recommended for new development.";
constexpr int64_t kInteraction = 0;

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

bool isSuccessfulQueryStatus(int64_t status) { return status == 200 || status == 204 || status == 304; }

// A stored value as the text it was set from.
std::string valueText(const APMValue& value) {
  if (value.isString()) return value.stringValue();
  if (value.isInt64()) return std::to_string(value.int64Value());
  return value.description();
}

// The identifier as handed in: text, or the bytes of a hashed form.
std::string identifierText(const platform::Object& value) {
  if (const std::string* text = value.asString()) return *text;
  if (value.isData()) return std::string(value.dataValue().begin(), value.dataValue().end());
  return std::string();
}

double persistedFirstOpenSeconds(APMEngineContext& engine) {
  const int64_t milliseconds = engine.persistedConfig()->attribution().firstOpenTimestampMilliseconds();
  return milliseconds > 0 ? static_cast<double>(milliseconds) / 1000.0 : 0;
}

}  // namespace

// MARK: - The engine's moments

void APMOnDeviceConversionReporter::startUpDidLoadConfiguration() {
  checkPSMDependencyOnWorkerQueue();
  checkODM2DependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();
}

bool APMOnDeviceConversionReporter::configurationFetchDidSucceed() {
  updateAdsOnDeviceConversionMeasurement();
  resumePostponedPSMRequestWhenNetworkIsFree();
  return false;
}

void APMOnDeviceConversionReporter::uploadRoadDidFindNothingToSend() {
  if (takePostponedPSMRequest()) retrievePSMResponse();
}

void APMOnDeviceConversionReporter::addMetadataFields(APMPBMeasurementBundle& metadata) {
  int32_t flags = APMNanoGetInt32(metadata, APMPBMeasurementBundle::kLinkedClientFlags);
  if (Links::isAPMPrivateSetMembershipClientLinked()) flags |= 2;
  if (Links::isAlphaAppAdsOnDeviceConversionLinked()) flags |= 4;
  if (Links::isDirodaAdsOnDeviceConversionLinked()) flags |= 8;
  APMNanoSetInt32(metadata, APMPBMeasurementBundle::kLinkedClientFlags, flags);
}

std::shared_ptr<APMEngineContext> APMOnDeviceConversionReporter::engineOnWorkerQueue(const char* methodName) const {
  if (!engine_) return nullptr;
  return engine_->checkWorkerQueue(methodName) ? engine_ : nullptr;
}

// MARK: - Start-up

void APMOnDeviceConversionReporter::checkPSMDependencyOnWorkerQueue() {
  auto engine = engineOnWorkerQueue("checkPSMDependencyOnWorkerQueue");
  if (!engine) return;
  if (Links::PSMClientClass()) {
    if (context_) context_->cancelPSMRetryAlarm();
    context_ = std::make_shared<APMPSMContext>();
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kDeviceConversionMeasurementReadyInitiate,
           "On-device conversion measurement is ready to initiate");
    return;
  }
  if (Records::userPropertyExists(*engine, "_psmcount") || Records::userPropertyExists(*engine, "_psmcountph")) {
    APMLog(APMLogLevel::kWarningSampled, APMOnDeviceConversionLogCode::kConversionDependencyNotLinked,
           "On-device conversion measurement dependency is not currently linked. On-device conversion "
           "measurement will fail to initiate.");
  }
}

void APMOnDeviceConversionReporter::checkODM2DependencyOnWorkerQueue() {
  auto engine = engineOnWorkerQueue("checkODM2DependencyOnWorkerQueue");
  if (!engine) return;
  const bool deprecatedClientLinked = platform::ClassRegistry::exists(Links::kDeprecatedClientClassName);
  if (Links::isAdsOnDeviceConversionLinked()) {
    if (Links::isDirodaAdsOnDeviceConversionLinked() && deprecatedClientLinked) {
      // A misconfiguration of the host. Raised as an exception it would only reach the queue that
      // catches it: said loudly instead, and the deprecated protocol is not used in this run.
      APMLog(APMLogLevel::kError, APMOnDeviceConversionLogCode::kDeprecatedDeviceConversionFrameworkLinked,
             "Deprecated on-device conversion framework linked. Exception, reason",
             std::string(kDeprecatedFrameworkExceptionName), std::string(kDeprecatedFrameworkReason));
      odm1Refused_ = true;
      if (context_) context_->cancelPSMRetryAlarm();
      context_ = nullptr;
    }
    APMLog(APMLogLevel::kDebug,
           APMOnDeviceConversionLogCode::kConversionServiceDirodaAdsOnDeviceConversionFrameworkLinked,
           "Conversion service DirodaAdsOnDeviceConversion framework is linked");
  } else {
    APMLog(APMLogLevel::kDebug,
           APMOnDeviceConversionLogCode::kConversionServiceDisabledDirodaAdsOnDeviceConversionFrameworkNotLinked,
           "Conversion service disabled. DirodaAdsOnDeviceConversion framework is not linked.");
    if (deprecatedClientLinked) {
      APMLog(APMLogLevel::kWarningSampled,
             APMOnDeviceConversionLogCode::kDirodaZovAridozovoriOnDeviceConversionDeprecatedFrameworkLinked,
             "DirodaZovAridozovoriOnDeviceConversion (deprecated) framework is linked. Use the "
             "DirodaAdsOnDeviceConversion framework instead.");
    }
  }
  auto config = engine->remoteConfig();
  if (config && !config->message().isExpired())
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceNotAttemptFetch,
           "Conversion service will not attempt a fetch");
}

void APMOnDeviceConversionReporter::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  auto engine = engineOnWorkerQueue("maybeDeleteExpiredPSMValueOnWorkerQueue");
  if (!engine || !engine->database()) return;
  APMDatabase& database = *engine->database();
  const double now = platform::now();

  platform::Error readError;
  auto row = database.onDeviceValues().ODMValueWithName(Records::kODM1ValueName, &readError);
  const bool rowAbsent = row && row->empty();
  if (row && !row->empty()) {
    const platform::Object* setTimestamp = platform::find(*row, "set_timestamp");
    if (setTimestamp && setTimestamp->isNumber() && std::fabs(now - setTimestamp->doubleValue()) >= Records::kValueLifetime) {
      platform::Error deleteError;
      if (!database.onDeviceValues().deleteODMValueWithName(Records::kODM1ValueName, &deleteError)) {
        APMLog(APMLogLevel::kWarningSampled, APMOnDeviceConversionLogCode::kFailedDeleteODMValue,
               "Failed to delete ODM value. Error", deleteError);
      }
    }
  }

  platform::Error propertyError;
  auto property = database.userProperties().userAttributeWithName(Records::kPSMValueProperty, &propertyError);
  if (!property) return;
  if (std::fabs(now - property->lastSetTimestamp()) >= Records::kValueLifetime) {
    Records::removeUserPropertyIfPresent(*engine, Records::kPSMValueProperty);
    for (const char* counter : kAPMPSMCounterNames) Records::removeUserPropertyIfPresent(*engine, counter);
    return;
  }
  // A row that could not be read is not known to be missing: it is not written over.
  if (!rowAbsent) return;
  const std::string text = valueText(property->value());
  if (text.empty()) return;
  platform::Error updateError;
  if (!database.onDeviceValues().updateODMValue(text, Records::kODM1ValueName, property->lastSetTimestamp(),
                                                &updateError)) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedUpdateODMValue,
           "Failed to update ODM value. Error", updateError);
  }
}

// MARK: - ODM1 initiation

struct APMOnDeviceConversionReporter::IdentifierAttempt {
  const char* key;
  PrivateSetMembershipIdentifier kind;
  bool hashed;
  bool phone;
};

void APMOnDeviceConversionReporter::initiateODM1ProtocolWithUserData(const platform::Dictionary& userData) {
  auto engine = engineOnWorkerQueue("initiateODM1ProtocolWithUserData:");
  if (!engine) return;
  static constexpr IdentifierAttempt kAttempts[] = {
      {kEmailAddressKey, PrivateSetMembershipIdentifier::EmailAddress, false, false},
      {kPhoneNumberKey, PrivateSetMembershipIdentifier::PhoneNumber, false, true},
      {kHashedEmailAddressKey, PrivateSetMembershipIdentifier::HashedEmailAddress, true, false},
      {kHashedPhoneNumberKey, PrivateSetMembershipIdentifier::HashedPhoneNumber, true, true},
  };
  for (const IdentifierAttempt& attempt : kAttempts) {
    if (tryInitiate(*engine, attempt, userData)) return;
  }
}

bool APMOnDeviceConversionReporter::tryInitiate(APMEngineContext& engine, const IdentifierAttempt& attempt,
                                                const platform::Dictionary& userData) {
  const platform::Object* value = platform::find(userData, attempt.key);
  if (!value) return false;
  auto clientClass = Links::PSMClientClass();
  if (!passesKindCheck(attempt, *value, clientClass.get())) return false;
  if (!shouldRetrievePSMResponse()) return false;
  // shouldRetrievePSMResponse found the class and the context.
  if (attempt.hashed && !clientClass->supports(attempt.kind)) return false;
  auto config = engine.remoteConfig();
  const int64_t prefixBitLength = attempt.phone ? config->reporters().hashPrefixBitLengthPhone() : config->reporters().hashPrefixBitLengthEmail();
  const std::string appID = engine.identity() ? engine.identity()->application().appID() : platform::Bundle::bundleIdentifier();
  auto client = clientClass->client(attempt.kind, identifierText(*value), appID, prefixBitLength);
  if (!client) return false;
  context_->PSMClient = std::move(client);
  APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kInitiatedDeviceConversionMeasurement,
         "Initiated on-device conversion measurement");
  context_->PSMRetryCount = 0;
  ++context_->PSMStartCount;
  retrievePSMResponse();
  return true;
}

bool APMOnDeviceConversionReporter::passesKindCheck(const IdentifierAttempt& attempt, const platform::Object& value,
                                                    const platform::PrivateSetMembershipClientClass* clientClass) {
  const bool empty = identifierText(value).empty();
  if (!attempt.hashed && !attempt.phone) {
    if (!empty) return true;
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementEmailAddress,
           "Failed to initiate on-device conversion measurement. Email address was empty.");
    return false;
  }
  if (!attempt.hashed) {
    if (empty) {
      APMLog(APMLogLevel::kErrorSampled,
             APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementPhoneNumber,
             "Failed to initiate on-device conversion measurement. Phone number was empty.");
      return false;
    }
    // Without any class the common check says the dependency is missing.
    if (clientClass && !clientClass->supports(PrivateSetMembershipIdentifier::PhoneNumber)) {
      APMLog(APMLogLevel::kErrorSampled,
             APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementLinkedDevice,
             "Failed to initiate on-device conversion measurement. Linked on-device conversion "
             "measurement dependency does not support phone numbers.");
      return false;
    }
    return true;
  }
  if (empty) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementHashedIdentifier,
           "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
    return false;
  }
  if (clientClass && !clientClass->supports(PrivateSetMembershipIdentifier::HashedEmailAddress) &&
      !clientClass->supports(PrivateSetMembershipIdentifier::HashedPhoneNumber)) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementLinkedDeviceConversion,
           "Failed to initiate on-device conversion measurement. Linked on-device conversion "
           "measurement dependency does not support hashed identifiers.");
    return false;
  }
  return true;
}

bool APMOnDeviceConversionReporter::shouldRetrievePSMResponse() {
  auto engine = engineOnWorkerQueue("shouldRetrievePSMResponse");
  if (!engine) return false;
  if (odm1Refused_) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementDeprecatedDevice,
           "Failed to initiate on-device conversion measurement. The deprecated on-device conversion "
           "measurement dependency is linked together with DirodaAdsOnDeviceConversion framework.");
    return false;
  }
  auto config = engine->remoteConfig();
  if (!Links::PSMClientClass() || !context_ || !config || !engine->database()) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurement,
           "Failed to initiate on-device conversion measurement. On-device conversion measurement "
           "dependency not linked in.");
    return false;
  }
  const double persistedFirstOpen = persistedFirstOpenSeconds(*engine);
  const double firstOpen = persistedFirstOpen > 0 ? persistedFirstOpen : engine->initTimestamp();
  if (!APMPSMIsWithinFirstOpenWindow(platform::now(), firstOpen, config->reporters().maxSignInDelayInDays())) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementAttemptedInitiate,
           "Failed to initiate on-device conversion measurement. Attempted to initiate outside the "
           "first open window.");
    return false;
  }
  if (context_->isPSMRequestInProgress) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementRequestQuery,
           "Failed to initiate on-device conversion measurement. Request to query data set for "
           "on-device conversion measurement already in progress.");
    return false;
  }
  if (context_->PSMStartCount >= config->reporters().maxPSMStartCount()) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementExceededLimit,
           "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
    return false;
  }
  if (Records::userPropertyExists(*engine, Records::kPSMValueProperty)) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementFoundExisting,
           "Failed to initiate on-device conversion measurement. Found existing match.");
    return false;
  }
  if (context_->PSMRetryCount >= config->reporters().maxPSMRetryCount()) {
    APMLog(APMLogLevel::kErrorSampled,
           APMOnDeviceConversionLogCode::kFailedInitiateDeviceConversionMeasurementExceededRetry,
           "Failed to initiate on-device conversion measurement. Exceeded retry limit.");
    return false;
  }
  return true;
}

// MARK: - ODM1 query

std::optional<platform::URL> APMOnDeviceConversionReporter::PSMRequestURL() {
  auto engine = engineOnWorkerQueue("PSMRequestURL");
  if (!engine || !context_ || !context_->PSMClient) return std::nullopt;
  platform::PrivateSetMembershipClient& client = *context_->PSMClient;
  auto clientURL = client.PSMRequestURLWithRetryCount(context_->PSMRetryCount);
  if (!clientURL) return std::nullopt;
  APMPSMRequestParameters parameters;
  parameters.inputType = client.inputType();
  parameters.queryCount =
      Records::integerUserProperty(*engine, APMPSMInputKindForInputType(parameters.inputType).counterName).value_or(0);
  parameters.firstOpenMilliseconds = engine->persistedConfig()->attribution().firstOpenTimestampMilliseconds();
  auto monitor = log();
  if (!APMAEU::isFAS() && (monitor->isDebugModeEnabled() || monitor->isVerboseLoggingEnabled()) &&
      platform::ProcessInfo::hasArgument(kDebugArgument)) {
    parameters.debugKey = client.debugKey();
  }
  return APMPSMRequestURL(*clientURL, parameters);
}

void APMOnDeviceConversionReporter::retrievePSMResponse() {
  auto engine = engineOnWorkerQueue("retrievePSMResponse");
  if (!engine || !context_ || !context_->PSMClient || !engine->remoteConfig()) return;
  auto context = context_;
  auto client = context->PSMClient;
  platform::Data payload = client->payloadWithPSMRequest();
  if (payload.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kPayloadQueryDataSetDeviceConversion,
           "Payload to query data set for on-device conversion measurement is invalid");
    return;
  }
  auto url = PSMRequestURL();
  if (!url) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kURLQueryDataSetDeviceConversion,
           "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  if (!engine->isNetworkReadyForRequest()) {
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kNetworkOperationPending,
           "Network operation is pending. Request to query data set for on-device conversion "
           "measurement postponed.");
    context->isPSMRequestPostponed = true;
    return;
  }
  context->cancelPSMRetryAlarm();
  context->isPSMRequestPostponed = false;
  context->isPSMRequestInProgress = true;
  engine->setIsNetworkRequestPending(true);
  const auto& network = engine->network();
  if (!network) {
    handlePSMResponse(context, client, 0, {}, std::nullopt);
    return;
  }
  network->setTimeoutInterval(engine->remoteConfig()->network().networkTimeout());
  const bool background = engine->shouldUseBackgroundSession();
  std::weak_ptr<APMOnDeviceConversionReporter> weakSelf = weak_from_this();
  std::weak_ptr<APMEngineContext> weakEngine = engine_;
  network->postURL(url->absoluteString(), payload, engine->workerQueue(), background,
                   [weakSelf, weakEngine, context, client](const std::optional<platform::HttpResponse>& response,
                                                           const platform::Data& body,
                                                           const std::optional<platform::Error>& error) {
                     APMScheduler::runGuardedBlockID(kQueryReplyBlockID, [&] {
                       if (auto self = weakSelf.lock()) {
                         self->handlePSMResponse(context, client, response ? response->statusCode : 0, body, error);
                       } else if (auto engine = weakEngine.lock()) {
                         engine->setIsNetworkRequestPending(false);
                       }
                     });
                   });
}

void APMOnDeviceConversionReporter::handlePSMResponse(
    const std::shared_ptr<APMPSMContext>& context, const std::shared_ptr<platform::PrivateSetMembershipClient>& client,
    int64_t statusCode, const platform::Data& body, const std::optional<platform::Error>& error) {
  auto engine = engine_;
  if (!engine) return;
  engine->setIsNetworkRequestPending(false);
  if (context != context_) {
    // Answered after a wipe: the query belonged to data that is gone.
    engine->updateSchedule();
    return;
  }
  Records::raiseQueryCounter(*engine, client->inputType());
  if (isSuccessfulQueryStatus(statusCode) && !error) {
    const std::string value = client->parsedPSMValueFromResponse(body);
    if (!value.empty()) {
      APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kDeviceConversionMeasurementFoundMatch,
             "On-device conversion measurement found a match");
      handlePSMValueOnWorkerQueue(value);
    } else {
      APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kDeviceConversionMeasurementDidNotFind,
             "On-device conversion measurement did not find a match. Will try again given new user "
             "data.");
    }
    context->isPSMRequestInProgress = false;
    context->PSMClient = nullptr;
    engine->updateSchedule();
    return;
  }
  APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedQueryDataSetDeviceConversion,
         "Failed to query data set for on-device conversion measurement. Will retry later. Code, error", statusCode,
         error ? APMMonitorContext(*error) : APMMonitorContext());
  context->isPSMRequestInProgress = false;
  maybeSchedulePSMRetry();
  engine->updateSchedule();
}

void APMOnDeviceConversionReporter::maybeSchedulePSMRetry() {
  auto engine = engineOnWorkerQueue("maybeSchedulePSMRetry");
  if (!engine || !context_ || !engine->remoteConfig()) return;
  APMRemoteConfig& config = *engine->remoteConfig();
  const int32_t failedBefore = context_->PSMRetryCount;
  ++context_->PSMRetryCount;
  if (context_->PSMRetryCount >= config.reporters().maxPSMRetryCount()) {
    APMLog(APMLogLevel::kWarningSampled, APMOnDeviceConversionLogCode::kDeviceConversionMeasurementFailedFindMatch,
           "On-device conversion measurement failed to find a match. Reached retry limit.");
    return;
  }
  std::weak_ptr<APMOnDeviceConversionReporter> weakSelf = weak_from_this();
  context_->PSMRetryAlarm(engine->workerQueue())
      ->runAfterDelay(APMPSMRetryDelay(config.reporters().PSMRetryInterval(), failedBefore), [weakSelf] {
        APMScheduler::runGuardedBlockID(kRetryBlockID, [&] {
          if (auto self = weakSelf.lock()) self->retrievePSMResponse();
        });
      });
}

void APMOnDeviceConversionReporter::handlePSMValueOnWorkerQueue(const std::string& value) {
  auto engine = engineOnWorkerQueue("handlePSMValueOnWorkerQueue:isSessionValue:");
  if (!engine || value.empty() || !engine->database()) return;
  const double now = platform::now();
  platform::Error error;
  if (!engine->database()->onDeviceValues().updateODMValue(value, Records::kODM1ValueName, now, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedUpdateODMValue,
           "Failed to update ODM value. Error", error);
  }
  Records::setInternalUserProperty(*engine, Records::kPSMValueProperty, APMValue(value), now);
  Records::writeMatchEvent(*engine, Records::kODM1MatchSource);
}

void APMOnDeviceConversionReporter::resetODM1Context() {
  if (context_) context_->cancelPSMRetryAlarm();
  context_ = Links::PSMClientClass() && !odm1Refused_ ? std::make_shared<APMPSMContext>() : nullptr;
}

bool APMOnDeviceConversionReporter::takePostponedPSMRequest() {
  if (!context_ || !context_->isPSMRequestPostponed) return false;
  context_->isPSMRequestPostponed = false;
  return true;
}

void APMOnDeviceConversionReporter::resumePostponedPSMRequestWhenNetworkIsFree() {
  auto engine = engineOnWorkerQueue("resumePostponedPSMRequestWhenNetworkIsFree");
  if (!engine || !context_ || !context_->isPSMRequestPostponed) return;
  // After the blocks queued now: the fetch's own upload goes first, and its completion resumes
  // the query when it takes the network.
  std::weak_ptr<APMOnDeviceConversionReporter> weakSelf = weak_from_this();
  engine->schedule(kPostponedQueryBlockID, [weakSelf] {
    auto self = weakSelf.lock();
    auto engine = self ? self->engine_ : nullptr;
    if (!engine || !engine->isNetworkReadyForRequest() || !self->takePostponedPSMRequest()) return;
    self->retrievePSMResponse();
  });
}

// MARK: - ODM2

bool APMOnDeviceConversionReporter::isAdsOnDeviceConversionEnabled() {
  auto engine = engineOnWorkerQueue("isAdsOnDeviceConversionEnabled");
  if (!engine || !Links::isAdsOnDeviceConversionLinked()) return false;
  auto config = engine->remoteConfig();
  if (!config || !config->features().adsOnDeviceConversionFeatureEnabled()) {
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceDisabled,
           "Conversion service disabled. Remote config disabled. Check ads account linked to Diroda "
           "Analytics.");
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceDisabledAdStorageConsentDenied,
           "Conversion service disabled. Ad storage consent is denied.");
    return false;
  }
  APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceEnabled, "Conversion service enabled");
  return true;
}

void APMOnDeviceConversionReporter::updateAdsOnDeviceConversionMeasurement() {
  auto engine = engineOnWorkerQueue("updateAdsOnDeviceConversionMeasurement");
  if (!engine) return;
  if (!isAdsOnDeviceConversionEnabled()) {
    handleEmptyODM2Value(*engine);
    return;
  }
  if (!conversionService_) conversionService_ = Links::conversionServiceFromReflection();
  if (!conversionService_) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedGetCompatibleConversionService,
           "Failed to get the compatible conversion service.");
    handleEmptyODM2Value(*engine);
    return;
  }
  conversionService_->setFirstLaunchTime(firstLaunchDate());
  std::weak_ptr<APMOnDeviceConversionReporter> weakSelf = weak_from_this();
  std::weak_ptr<APMEngineContext> weakEngine = engine_;
  // A service that answers more than once is heard once.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  conversionService_->fetchMeasurementInfoForInteraction(
      kInteraction, [weakSelf, weakEngine, answered](std::optional<std::string> value, std::optional<platform::Error> error) {
        if (answered->exchange(true)) return;
        auto engine = weakEngine.lock();
        if (!engine) return;
        engine->schedule(kConversionBlockID, [weakSelf, value, error] {
          if (auto self = weakSelf.lock()) self->handleAdsOnDeviceConversionValue(value, error);
        });
      });
}

void APMOnDeviceConversionReporter::handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                                                     const std::optional<platform::Error>& error) {
  auto engine = engineOnWorkerQueue("handleAdsOnDeviceConversionValue:error:");
  if (!engine || !engine->database()) return;
  if (error) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kConversionServiceFailedFetchMeasurementInfo,
           "Conversion service failed to fetch measurement info.", *error);
    return;
  }
  if (!value || value->empty()) {
    handleEmptyODM2Value(*engine);
    return;
  }
  platform::Error readError;
  auto current = engine->database()->userProperties().userAttributeWithName(Records::kODM2ValueProperty, &readError);
  if (current && valueText(current->value()) == *value) {
    APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceReturnedSameValue,
           "Conversion service returned the same value", std::string(Records::kODM2ValueProperty), *value);
    return;
  }
  const double now = platform::now();
  platform::Error updateError;
  if (!engine->database()->onDeviceValues().updateODMValue(*value, Records::kODM2ValueName, now, &updateError)) {
    APMLog(APMLogLevel::kErrorSampled, APMOnDeviceConversionLogCode::kFailedUpdateODM2Value,
           "Failed to update ODM value. Error", updateError);
  }
  Records::setInternalUserProperty(*engine, Records::kODM2ValueProperty, APMValue(*value), now);
  Records::writeMatchEvent(*engine, Records::kODM2MatchSource);
}

void APMOnDeviceConversionReporter::handleEmptyODM2Value(APMEngineContext& engine) {
  if (!engine.database()) return;
  Records::removeUserPropertyIfPresent(engine, Records::kODM2ValueProperty);
  platform::Error error;
  engine.database()->onDeviceValues().deleteODMValueWithName(Records::kODM2ValueName, &error);
  APMLog(APMLogLevel::kDebug, APMOnDeviceConversionLogCode::kConversionServiceReturnedEmptyValue,
         "Conversion service returned empty value");
}

std::optional<platform::Date> APMOnDeviceConversionReporter::firstLaunchDate() const {
  auto engine = engine_;
  if (!engine) return std::nullopt;
  const double seconds = persistedFirstOpenSeconds(*engine);
  if (seconds <= 0) return std::nullopt;
  return platform::Date{seconds};
}
