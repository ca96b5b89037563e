// The engine's side of the upload road: it hands its components to the upload controller and the
// raw-event bundler (Upload/), which hold the logic, and answers their questions about identity,
// consent and the rest of the engine.
#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "APMEventRoad.h"
#include "APMMeasurement.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Upload/APMRawEventBundler.h"
#include "Upload/APMUploadController.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"

namespace {

APMBundleIdentity bundleIdentityOf(APMIdentity& identity) {
  APMBundleIdentity result;
  if (identity.hasLimitedAdTracking()) result.limitedAdTracking = identity.limitedAdTracking();
  result.resettableDeviceID = identity.resettableDeviceID();
  result.vendorID = identity.identifierForVendor();
  result.appInstanceID = identity.appInstanceID();
  result.ephemeralAppInstanceID = identity.ephemeralAppInstanceID();
  result.trackingAuthorizationStatus = identity.appleConsentStatus();
  result.hasTrackingAuthorization = APMIdentity::iOS14OrAbove();
  return result;
}

}  // namespace

std::shared_ptr<APMUploadController> APMMeasurement::uploadController() {
  if (!checkWorkerQueue("uploadController") || !database_ || !remoteConfig_) return nullptr;
  // A wipe or a new configuration object replaces what the road was built over.
  if (uploadController_ && uploadController_->database() == database_ &&
      uploadController_->remoteConfig() == remoteConfig_) {
    return uploadController_;
  }
  if (uploadController_) pendingSuspendedUploadTimestamp_ = uploadController_->suspendedUploadTimestamp();

  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  APMBundlingHooks bundling;
  bundling.currentDay = [weakSelf] {
    auto self = weakSelf.lock();
    return self ? self->eventRoad_->currentDayNumber() : 0;
  };
  bundling.isDebugMode = [] { return APMMonitor::shared()->isDebugModeEnabled(); };
  bundling.isAnalyticsStorageDenied = [] { return APMConsentSettingsUtil::isAnalyticsStorageDenied(); };
  bundling.consentDescription = [] { return APMConsentSettingsUtil::description(); };
  bundling.isSubjectToRealtimeLimit = [](const APMEvent& event) { return APMIsSubjectToRealtimeLimit(event); };
  bundling.isDCUEvent = [](const APMEvent& event) { return APMIsDCUEvent(event); };
  bundling.beforeAudienceEvaluation = [weakSelf] {
    auto self = weakSelf.lock();
    if (!self || !self->shouldUpdateNPAUserProperty_) return;
    self->setPersonalizedAdsUserPropertyOnWorkerQueue();
    self->shouldUpdateNPAUserProperty_ = false;
  };
  bundling.fallbackAppID = [weakSelf] {
    auto self = weakSelf.lock();
    if (self && self->identity_ && !self->identity_->appID().empty()) return self->identity_->appID();
    return platform::Bundle::bundleIdentifier();
  };
  bundling.monitoringSample = [](double period, double last) {
    return APMMonitor::shared()->monitoringDataForDispatchWithSamplePeriod(period, last);
  };
  forEachComponent([this, &bundling](APMEngineComponent& component) { component.addBundlingHooks(database_, bundling); });
  rawEventBundler_ = std::make_shared<APMRawEventBundler>(database_, remoteConfig_, persistedConfig_, bundling);

  APMUploadHooks hooks;
  hooks.libraryVersion = APMIdentity::zovAridozovoriLibraryVersion();
  hooks.bundleRawEvents = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->bundleRawEvents();
  };
  hooks.bundleRawEventGroups = [weakSelf](int32_t limit, const std::function<bool()>& enough) {
    APMUploadHooks::BundlingStep step;
    auto self = weakSelf.lock();
    if (!self || !self->checkWorkerQueue("bundleRawEvents") || !self->rawEventBundler_ || limit <= 0) return step;
    const auto run = self->rawEventBundler_->bundleRawEventGroups(static_cast<size_t>(limit), enough);
    step.bundled = static_cast<int32_t>(run.bundled);
    step.stopped = run.last != APMRawEventBundler::Result::Bundled;
    if (run.bundled > 0 && self->uploadController_) self->uploadController_->setSuspendedUploadTimestamp(0);
    return step;
  };
  hooks.identity = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->identity_ ? bundleIdentityOf(*self->identity_) : APMBundleIdentity{};
  };
  hooks.uploadWillStart = [weakSelf] {
    auto self = weakSelf.lock();
    if (self) self->forEachComponent([](APMEngineComponent& component) { component.uploadWillStart(); });
  };
  hooks.SSTGPreviewHeaders = [] { return SSTGPreviewHeaders(); };
  hooks.uploadRoadDidFindNothingToSend = [weakSelf] {
    auto self = weakSelf.lock();
    if (self) self->forEachComponent([](APMEngineComponent& component) { component.uploadRoadDidFindNothingToSend(); });
  };
  hooks.consentSignals = [] { return APMConsentSettingsUtil::consentSignals(); };
  hooks.consentDiagnostics = [] { return APMConsentSettingsUtil::consentDiagnostics(); };
  hooks.isAdUserDataDenied = [] { return APMConsentSettingsUtil::isAdUserDataDenied(); };
  hooks.isNetworkRequestPending = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->isNetworkRequestPending();
  };
  hooks.setIsNetworkRequestPending = [weakSelf](bool pending) {
    if (auto self = weakSelf.lock()) self->setIsNetworkRequestPending(pending);
  };
  hooks.uptime = [] { return platform::uptime(); };
  hooks.fetchRemoteConfig = [weakSelf] {
    if (auto self = weakSelf.lock()) self->fetchRemoteConfig();
  };
  uploadController_ = std::make_shared<APMUploadController>(database_, remoteConfig_, persistedConfig_, network_,
                                                            scheduler_, alarm_, hooks);
  uploadController_->setSuspendedUploadTimestamp(pendingSuspendedUploadTimestamp_);
  return uploadController_;
}

void APMMeasurement::updateSchedule() {
  if (auto controller = uploadController()) controller->updateSchedule();
}

double APMMeasurement::nextUploadingTime() {
  auto controller = uploadController();
  return controller ? controller->nextUploadingTime() : 0;
}

void APMMeasurement::uploadDataOrRegisterAlarm() {
  if (auto controller = uploadController()) controller->uploadDataOrRegisterAlarm();
}

void APMMeasurement::uploadData() {
  if (auto controller = uploadController()) controller->uploadData();
}

bool APMMeasurement::hasDataToUpload() {
  auto controller = uploadController();
  return controller && controller->hasDataToUpload();
}

bool APMMeasurement::isNetworkReadyForRequest() {
  auto controller = uploadController();
  return controller && controller->isNetworkReadyForRequest();
}

bool APMMeasurement::bundleRawEvents() {
  if (!checkWorkerQueue("bundleRawEvents") || !uploadController()) return false;
  if (rawEventBundler_->bundleRawEvents() != APMRawEventBundler::Result::Bundled) return false;
  uploadController_->setSuspendedUploadTimestamp(0);
  return true;
}

void APMMeasurement::setSuspendedUploadTimestamp(double uptime) {
  pendingSuspendedUploadTimestamp_ = uptime;
  if (uploadController_) uploadController_->setSuspendedUploadTimestamp(uptime);
}

void APMMeasurement::addIdentifierAndConsentFieldsToMetadata(APMPBMeasurementBundle& metadata) {
  const APMBundleIdentity identity = identity_ ? bundleIdentityOf(*identity_) : APMBundleIdentity{};
  const bool attGate = remoteConfig_ && remoteConfig_->gateIDFAOnATTMASEnabled();
  APMSetIdentifierFields(metadata, APMConsentSettingsUtil::consentSignals(), attGate, identity, true);
  APMBundleConsentConfig config;
  if (remoteConfig_) {
    config.isDMARegion = remoteConfig_->isDMARegion();
    config.corePlatformServices = remoteConfig_->corePlatformServices();
  }
  APMSetConsentFields(metadata, APMConsentSettingsUtil::consentDiagnostics(),
                      APMConsentSettingsUtil::isAdUserDataDenied(), nullptr, config, true);
}

void APMMeasurement::terminateBackgroundTask() { persistedConfig_->synchronizeToDisk(); }
