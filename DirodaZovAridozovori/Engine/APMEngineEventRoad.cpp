// The engine's event road: its parts, and what the writer asks of the engine through it (the
// raw-event metadata among it).
#include "APMEngineEventRoad.h"

#include <algorithm>
#include <cstdlib>

#include "APMAnalyticsHooks.h"
#include "APMDatabase.h"
#include "APMEngineSessions.h"
#include "Upload/APMEngineUploadRoad.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStartUp.h"
#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

namespace {

std::shared_ptr<APMPBOnDeviceMeasurementValue> onDeviceValue(APMDatabase& database, const char* name,
                                                             APMLogCode errorCode, const char* errorText) {
  platform::Error error;
  auto row = database.onDeviceValues().ODMValueWithName(name, &error);
  if (!row) {
    if (!error.empty()) APMLog(APMLogLevel::kWarningSampled, errorCode, errorText, error);
    return nullptr;
  }
  const platform::Object* setTimestamp = platform::find(*row, "set_timestamp");
  const platform::Object* value = platform::find(*row, "value");
  if (!setTimestamp || !value || !setTimestamp->isNumber() || !value->asString()) return nullptr;
  auto message = APMPBOnDeviceMeasurementValue::initWithMessageInfo();
  APMNanoSetInt64(*message, APMPBOnDeviceMeasurementValue::kSetTimestampMillis,
                  APMMillisecondsFromSeconds(setTimestamp->doubleValue()));
  APMNanoSetString(*message, APMPBOnDeviceMeasurementValue::kValue, *value->asString());
  return message;
}

}  // namespace

APMEngineEventRoad::APMEngineEventRoad(APMMeasurement& engine)
    : engine_(engine), writer_(*this), worker_(engine, *this, writer_), waiting_(engine, *this, writer_, worker_) {}

APMEngineEventRoad::~APMEngineEventRoad() = default;

// MARK: - What the writer asks of the engine

const std::shared_ptr<APMDatabase>& APMEngineEventRoad::database() const { return engine_.database(); }
const std::shared_ptr<APMRemoteConfig>& APMEngineEventRoad::remoteConfig() const {
  return engine_.remoteConfigInstance();
}
const std::shared_ptr<APMIdentity>& APMEngineEventRoad::identity() const { return engine_.identity(); }
const std::shared_ptr<APMPersistedConfig>& APMEngineEventRoad::persistedConfig() const {
  return engine_.setup().persistedConfig;
}
bool APMEngineEventRoad::isSessionExpired() { return engine_.sessions().isSessionExpiredOnWorkerQueue(); }
void APMEngineEventRoad::setLastAdvertisingIDResetUserProperty() {
  engine_.userProperties().setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
}
void APMEngineEventRoad::updateSchedule() { engine_.uploadRoad().updateSchedule(); }
const APMEngineComponentList& APMEngineEventRoad::engineComponents() const { return engine_.components().list(); }
const APMEngineComponentList& APMEngineEventRoad::engineComponentsActingAt(APMEngineEventMoment moment) const {
  return engine_.components().actingAt(moment);
}

// MARK: - Internal events

void APMEngineEventRoad::logInternalEvent(const std::string& origin, const std::string& name,
                                          const platform::Dictionary& parameters) {
  if (APMAnalyticsHooksLogInternalEvent(origin, name, parameters)) return;
  // No front: the event takes the engine's own road, after the current block.
  logEventWithOrigin(origin, false, name, parameters, platform::now(), {.ignoreInterceptor = true}, nullptr, {});
}

// MARK: - Transactions and their side effects

void APMEngineEventRoad::afterCommit(std::function<void()> action) { writer_.afterCommit(std::move(action)); }

void APMEngineEventRoad::commitOpenTransactionOnWorkerQueue() { writer_.commitKeptOpenGroup(); }

int32_t APMEngineEventRoad::currentDayNumber() const {
  return APMDayNumber(platform::now(), persistedConfig()->session().midnightOffset().value_or(0));
}

// MARK: - Raw-event metadata

std::shared_ptr<APMPBMeasurementBundle> APMEngineEventRoad::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kPlatform, std::string("macos"));
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
  if (identity()) {
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppId, identity()->application().appID());
    if (!identity()->application().isFromAppStore()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallSource, std::string("manual_install"));
    APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppVersion, identity()->application().appVersion());
    if (auto serviceAppID = identity()->providedIdentifiers().appIDFromDMP(); serviceAppID && !serviceAppID->empty()) {
      APMNanoSetString(*bundle, APMPBMeasurementBundle::kServiceAppId, *serviceAppID);
    }
  }
  APMNanoSetInt64(*bundle, APMPBMeasurementBundle::kLibraryVersion, APMIdentity::zovAridozovoriLibraryVersion());
  if (identity()) {
    if (auto installationID = identity()->providedIdentifiers().zoredodeInstallationID()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kInstallationId, *installationID);
    auto token = identity()->ephemeralIdentifiers().sessionStitchingTokenWithSessionNumber(
        persistedConfig()->session().sessionNumber(), engine_.sessions().isSessionExpiredOnWorkerQueue(),
        engine_.userProperties().hasUserPropertyUserIDOnWorkerQueue());
    if (token && !token->empty()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kSessionStitchingToken, *token);
    if (auto major = identity()->application().appVersionMajor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMajor, *major);
    if (auto minor = identity()->application().appVersionMinor()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionMinor, *minor);
    if (auto release = identity()->application().appVersionRelease()) APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kAppVersionRelease, *release);
  }
  const bool filled = std::any_of(engineComponents().begin(), engineComponents().end(), [&bundle](const auto& component) {
    return component->fillIdentifierAndConsentFields(*bundle);
  });
  if (!filled) engine_.uploadRoad().addIdentifierAndConsentFieldsToMetadata(*bundle);
  auto environment = APMEnvironmentInfo::sharedInstance();
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kDeviceModel, environment->deviceModel());
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kOsVersion, environment->deviceOSVersion());
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kTimeZoneOffsetMinutes, environment->timeZoneOffsetMinutes());
  if (auto language = environment->userDefaultLanguage()) APMNanoSetString(*bundle, APMPBMeasurementBundle::kUserDefaultLanguage, *language);

  if (!userAttributes.empty()) {
    std::vector<std::shared_ptr<APMPBUserAttribute>> messages;
    bool hasNPA = false;
    for (const auto& attribute : userAttributes) {
      if (!attribute) continue;
      hasNPA = hasNPA || attribute->name() == "_npa";
      messages.push_back(attribute->protoUserAttribute());
    }
    if (!hasNPA && database()) {
      platform::Error error;
      if (auto npa = database()->userProperties().userAttributeWithName("_npa", &error)) {
        messages.push_back(npa->protoUserAttribute());
      }
    }
    APMNanoSetRepeatedField(*bundle, APMPBMeasurementBundle::kUserAttributes, messages);
  }

  if (auto buffer = persistedConfig()->attribution().adCampaignInfoBuffer(); buffer && !buffer->empty()) {
    auto info = APMPBAdCampaignInfo::fromBuffer(*buffer);
    if (info) APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kAdCampaignInfo, info);
  }
  if (database()) {
    auto odm1 = onDeviceValue(*database(), "odm1_value", APMMeasurementLogCode::kFailedQueryODMValue,
                              "Failed to query ODM value. Error");
    auto odm1Session =
        onDeviceValue(*database(), "odm1_session_value", APMMeasurementLogCode::kFailedQueryODMSessionValue,
                      "Failed to query ODM session value. Error");
    auto odm2 = onDeviceValue(*database(), "odm2_value", APMMeasurementLogCode::kFailedQueryODM2Value,
                              "Failed to query ODM value. Error");
    if (odm1 || odm1Session || odm2) {
      auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo();
      if (odm1) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm1Value, odm1);
      if (odm1Session) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm1SessionValue, odm1Session);
      if (odm2) APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm2Value, odm2);
      APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kOnDeviceMeasurementInfo, info);
    }
  }
  int32_t linkedClients = 0;
  if (APMDefaultIdentitySupport::sharedInstance()->hasAppDataConsentStatus()) linkedClients |= 1;
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kLinkedClientFlags, linkedClients);
  for (const auto& component : engineComponents()) component->addMetadataFields(*bundle);
  return bundle;
}

void APMEngineEventRoad::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig()->attribution().setUnmatchedFirstOpenWithoutIDFA(false);
  int64_t previous = std::strtoll(engine_.startUp().previousFirstOpenCount().c_str(), nullptr, 10);
  platform::Dictionary parameters{{"_pfo", std::max<int64_t>(previous, 1) - 1}};
  int64_t updatedWithAnalytics = 0;
  if (database()) {
    platform::Error error;
    auto firstOpenAfterInstall = database()->userProperties().userAttributeWithName("_fi", &error);
    if (firstOpenAfterInstall && firstOpenAfterInstall->value().int64Value() < 1) updatedWithAnalytics = 1;
  }
  parameters["_uwa"] = updatedWithAnalytics;
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  submit("APMMeasurement:1056", [this, weakEngine, timestamp, parameters] {
    auto engine = weakEngine.lock();
    if (!engine) return;
    auto event = APMEvent::create("auto", false, "_fx", timestamp, 0, parameters);
    if (!event) return;
    event->setRealtime(true);
    writeEventOnWorkerQueue(event);
  });
}
