#include "APMEngineUploadRoad.h"

#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMEngineUserProperties.h"
#include "Fetch/APMEngineFetch.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "APMRawEventBundler.h"
#include "APMUploadController.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"

namespace {

APMBundleIdentity bundleIdentityOf(APMIdentity& identity) {
  APMBundleIdentity result;
  if (identity.hasLimitedAdTracking()) result.limitedAdTracking = identity.limitedAdTracking();
  result.resettableDeviceID = identity.resettableDeviceID();
  result.vendorID = identity.application().identifierForVendor();
  result.appInstanceID = identity.appInstanceID();
  result.ephemeralAppInstanceID = identity.ephemeralIdentifiers().ephemeralAppInstanceID();
  result.trackingAuthorizationStatus = identity.appleConsentStatus();
  result.hasTrackingAuthorization = APMApplicationIdentity::iOS14OrAbove();
  return result;
}

}  // namespace

std::shared_ptr<APMUploadController> APMEngineUploadRoad::uploadController() {
  const auto& database = engine_.database();
  const auto& remoteConfig = engine_.remoteConfigInstance();
  if (!engine_.checkWorkerQueue("uploadController") || !database || !remoteConfig) return nullptr;
  // A wipe or a new configuration object replaces what the road was built over.
  if (uploadController_ && uploadController_->database() == database &&
      uploadController_->remoteConfig() == remoteConfig) {
    return uploadController_;
  }
  if (uploadController_) pendingSuspendedUploadTimestamp_ = uploadController_->suspendedUploadTimestamp();

  // The engine owns the road: while it lives, so does this.
  std::weak_ptr<APMMeasurement> weakSelf = engine_.weak_from_this();
  APMBundlingHooks bundling;
  bundling.currentDay = [weakSelf] {
    auto self = weakSelf.lock();
    return self ? self->eventRoad().currentDayNumber() : 0;
  };
  bundling.isDebugMode = [] { return APMMonitor::shared()->isDebugModeEnabled(); };
  bundling.isAnalyticsStorageDenied = [] { return APMConsentSettingsUtil::isAnalyticsStorageDenied(); };
  bundling.consentDescription = [] { return APMConsentSettingsUtil::description(); };
  bundling.isSubjectToRealtimeLimit = [](const APMEvent& event) { return APMIsSubjectToRealtimeLimit(event); };
  bundling.isDCUEvent = [](const APMEvent& event) { return APMIsDCUEvent(event); };
  bundling.beforeAudienceEvaluation = [weakSelf] {
    auto self = weakSelf.lock();
    if (!self || !self->userProperties().shouldUpdateNPAUserProperty()) return;
    self->userProperties().setPersonalizedAdsUserPropertyOnWorkerQueue();
    self->userProperties().setShouldUpdateNPAUserProperty(false);
  };
  bundling.fallbackAppID = [weakSelf] {
    auto self = weakSelf.lock();
    if (self && self->identity() && !self->identity()->application().appID().empty()) return self->identity()->application().appID();
    return platform::Bundle::bundleIdentifier();
  };
  bundling.monitoringSample = [](double period, double last) {
    return APMMonitor::shared()->monitoringDataForDispatchWithSamplePeriod(period, last);
  };
  for (const auto& component : engine_.components().list()) component->addBundlingHooks(database, bundling);
  rawEventBundler_ = std::make_shared<APMRawEventBundler>(database, remoteConfig, engine_.setup().persistedConfig, bundling);

  APMUploadHooks hooks;
  hooks.libraryVersion = APMIdentity::zovAridozovoriLibraryVersion();
  hooks.bundleRawEvents = [this, weakSelf] {
    auto self = weakSelf.lock();
    return self && bundleRawEvents();
  };
  hooks.bundleRawEventGroups = [this, weakSelf](int32_t limit, const std::function<bool()>& enough) {
    APMUploadHooks::BundlingStep step;
    auto self = weakSelf.lock();
    if (!self || !self->checkWorkerQueue("bundleRawEvents") || !rawEventBundler_ || limit <= 0) return step;
    const auto run = rawEventBundler_->bundleRawEventGroups(static_cast<size_t>(limit), enough);
    step.bundled = static_cast<int32_t>(run.bundled);
    step.stopped = run.last != APMRawEventBundler::Result::Bundled;
    if (run.bundled > 0 && uploadController_) uploadController_->setSuspendedUploadTimestamp(0);
    return step;
  };
  hooks.identity = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->identity() ? bundleIdentityOf(*self->identity()) : APMBundleIdentity{};
  };
  hooks.uploadWillStart = [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    for (const auto& component : self->components().list()) component->uploadWillStart();
  };
  hooks.SSTGPreviewHeaders = [] { return APMEngineRegistry::SSTGPreviewHeaders(); };
  hooks.uploadRoadDidFindNothingToSend = [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    for (const auto& component : self->components().list()) component->uploadRoadDidFindNothingToSend();
  };
  hooks.consentSignals = [] { return APMConsentSettingsUtil::consentSignals(); };
  hooks.consentDiagnostics = [] { return APMConsentSettingsUtil::consentDiagnostics(); };
  hooks.isAdUserDataDenied = [] { return APMConsentSettingsUtil::isAdUserDataDenied(); };
  hooks.isNetworkRequestPending = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->fetch().isNetworkRequestPending();
  };
  hooks.setIsNetworkRequestPending = [weakSelf](bool pending) {
    if (auto self = weakSelf.lock()) self->fetch().setIsNetworkRequestPending(pending);
  };
  hooks.uptime = [] { return platform::uptime(); };
  hooks.fetchRemoteConfig = [weakSelf] {
    if (auto self = weakSelf.lock()) self->fetch().fetchRemoteConfig();
  };
  uploadController_ = std::make_shared<APMUploadController>(database, remoteConfig, engine_.setup().persistedConfig,
                                                            engine_.setup().network, engine_.setup().scheduler, engine_.setup().alarm,
                                                            hooks);
  uploadController_->setSuspendedUploadTimestamp(pendingSuspendedUploadTimestamp_);
  return uploadController_;
}

void APMEngineUploadRoad::updateSchedule() {
  if (auto controller = uploadController()) controller->updateSchedule();
}

double APMEngineUploadRoad::nextUploadingTime() {
  auto controller = uploadController();
  return controller ? controller->nextUploadingTime() : 0;
}

void APMEngineUploadRoad::uploadDataOrRegisterAlarm() {
  if (auto controller = uploadController()) controller->uploadDataOrRegisterAlarm();
}

void APMEngineUploadRoad::uploadData() {
  if (auto controller = uploadController()) controller->uploadData();
}

bool APMEngineUploadRoad::hasDataToUpload() {
  auto controller = uploadController();
  return controller && controller->hasDataToUpload();
}

bool APMEngineUploadRoad::isNetworkReadyForRequest() {
  auto controller = uploadController();
  return controller && controller->isNetworkReadyForRequest();
}

bool APMEngineUploadRoad::bundleRawEvents() {
  if (!engine_.checkWorkerQueue("bundleRawEvents") || !uploadController()) return false;
  if (rawEventBundler_->bundleRawEvents() != APMRawEventBundler::Result::Bundled) return false;
  uploadController_->setSuspendedUploadTimestamp(0);
  return true;
}

void APMEngineUploadRoad::setSuspendedUploadTimestamp(double uptime) {
  pendingSuspendedUploadTimestamp_ = uptime;
  if (uploadController_) uploadController_->setSuspendedUploadTimestamp(uptime);
}

void APMEngineUploadRoad::addIdentifierAndConsentFieldsToMetadata(APMPBMeasurementBundle& metadata) {
  const auto& remoteConfig = engine_.remoteConfigInstance();
  const APMBundleIdentity identity = engine_.identity() ? bundleIdentityOf(*engine_.identity()) : APMBundleIdentity{};
  const bool attGate = remoteConfig && remoteConfig->features().gateIDFAOnATTMASEnabled();
  APMSetIdentifierFields(metadata, APMConsentSettingsUtil::consentSignals(), attGate, identity, true);
  APMBundleConsentConfig config;
  if (remoteConfig) {
    config.isDMARegion = remoteConfig->consent().isDMARegion();
    config.corePlatformServices = remoteConfig->consent().corePlatformServices();
  }
  APMSetConsentFields(metadata, APMConsentSettingsUtil::consentDiagnostics(),
                      APMConsentSettingsUtil::isAdUserDataDenied(), nullptr, config, true);
}
