#include <any>
#include <memory>
#include <utility>

#include "DUDUravodazo.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMPlatformIdentitySupport.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

namespace {

// The platform's tracking-authorisation statuses the identity maps to its consent codes.
constexpr int64_t kTrackingDenied = 2;
constexpr int64_t kTrackingAuthorized = 3;

// The host's advertising identity, answered as the platform's tracking and advertising classes
// would, so the identity reads it through its usual platform support.
class HostTrackingManager final : public APMTrackingManaging {
 public:
  explicit HostTrackingManager(DUDUravodazoAdvertisingIdentityProvider provider) : provider_(std::move(provider)) {}
  std::optional<int64_t> trackingAuthorizationStatus() override {
    auto identity = provider_();
    if (!identity) return std::nullopt;
    return identity->trackingAllowed ? kTrackingAuthorized : kTrackingDenied;
  }

 private:
  const DUDUravodazoAdvertisingIdentityProvider provider_;
};

class HostAdvertisingIdentifierManager final : public APMAdvertisingIdentifierManaging {
 public:
  explicit HostAdvertisingIdentifierManager(DUDUravodazoAdvertisingIdentityProvider provider)
      : provider_(std::move(provider)) {}
  std::optional<bool> isAdvertisingTrackingEnabled() override {
    auto identity = provider_();
    if (!identity) return std::nullopt;
    return identity->trackingAllowed;
  }
  std::optional<std::string> advertisingIdentifier() override {
    auto identity = provider_();
    if (!identity || identity->identifier.empty()) return std::nullopt;
    return identity->identifier;
  }

 private:
  const DUDUravodazoAdvertisingIdentityProvider provider_;
};

void registerAdvertisingIdentity(const DUDUravodazoAdvertisingIdentityProvider& provider) {
  auto tracking = std::make_shared<HostTrackingManager>(provider);
  auto advertising = std::make_shared<HostAdvertisingIdentifierManager>(provider);
  platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kTrackingManagerClassName, [tracking] {
    return std::any(std::static_pointer_cast<APMTrackingManaging>(tracking));
  });
  platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kIdentifierManagerClassName, [advertising] {
    return std::any(std::static_pointer_cast<APMAdvertisingIdentifierManaging>(advertising));
  });
  APMPlatformIdentitySupport::registerClass();
  // The supports look the classes up once, as they are created: the next ones see these.
  APMPlatformIdentitySupport::resetSharedInstance();
  APMDefaultIdentitySupport::resetSharedInstance();
  // The support waits only briefly for the identifier and otherwise answers with the last one it
  // received: asked once now, the engine's first look at start-up finds it even on a busy machine,
  // instead of taking the identity for missing and refusing the deferred deep link of this launch.
  APMDefaultIdentitySupport::sharedInstance()->resettableDeviceID();
}

void applyApplication(const DUDUravodazoApplication& application) {
  if (!application.identifier.empty()) platform::Bundle::setBundleIdentifier(application.identifier);
  if (!application.shortVersion.empty()) platform::Bundle::setShortVersion(application.shortVersion);
  if (!application.buildVersion.empty()) platform::Bundle::setBuildVersion(application.buildVersion);
}

// The endpoints keep their defaults (or an earlier setup) where the host names nothing.
void applyEndpoints(const DUDUravodazoSetup& setup) {
  if (!setup.analyticsService.host.empty()) APMRemoteConfigNetwork::setAnalyticsServiceHost(setup.analyticsService.host);
  if (!setup.analyticsService.scheme.empty()) APMRemoteConfigNetwork::setAnalyticsServiceScheme(setup.analyticsService.scheme);
  if (!setup.adServices.host.empty()) APMDeepLinkReporter::setAdServicesHost(setup.adServices.host);
  if (!setup.adServices.scheme.empty()) APMDeepLinkReporter::setAdServicesScheme(setup.adServices.scheme);
  if (!setup.attributionService.host.empty()) {
    APMSearchAdReporter::setAttributionServiceHost(setup.attributionService.host);
  }
  if (!setup.attributionService.scheme.empty()) {
    APMSearchAdReporter::setAttributionServiceScheme(setup.attributionService.scheme);
  }
}

}  // namespace

void DUDUravodazo::setUp(const DUDUravodazoSetup& setup) {
  if (!setup.dataDirectory.empty()) platform::Paths::setDataDirectory(setup.dataDirectory);
  if (!setup.resourceDirectory.empty()) platform::Bundle::setResourceDirectory(setup.resourceDirectory);
  applyApplication(setup.application);
  for (const auto& [key, value] : setup.infoValues) platform::Bundle::setInfoDictionaryValue(key, value);
  if (!setup.launchArguments.empty()) platform::ProcessInfo::setArguments(setup.launchArguments);
  if (setup.appStoreReceiptPath) platform::Bundle::setAppStoreReceiptPath(setup.appStoreReceiptPath);
  if (setup.maxWaitingEventBytes) APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{*setup.maxWaitingEventBytes});
  applyEndpoints(setup);
  if (setup.advertisingIdentity) registerAdvertisingIdentity(setup.advertisingIdentity);
  if (setup.attributionToken) platform::AttributionTokenProvider::registerProvider(setup.attributionToken);
  if (setup.storeProducts) platform::StoreProductsProvider::registerProvider(setup.storeProducts);
  if (setup.conversionService) platform::ConversionService::registerProvider(setup.conversionService);
  if (setup.privateSetMembershipClients) {
    platform::PrivateSetMembershipClientClass::registerProvider(setup.privateSetMembershipClients);
  }
}
