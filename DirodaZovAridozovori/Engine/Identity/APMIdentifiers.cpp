#include "APMIdentifiers.h"

#include "APMIdentity.h"
#include "APMIdentityLog.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"

namespace {

std::mutex sharedMutex;
// Never destroyed (here and below): the SDK's threads may read them until the process has ended.
// Guarded by sharedMutex.
std::shared_ptr<APMIdentifiers>& sharedIdentifiers() {
  static auto& identifiers = *new std::shared_ptr<APMIdentifiers>;
  return identifiers;
}
APMIdentifiers::EngineIdentityProvider& engineIdentity() {
  static auto& provider = *new APMIdentifiers::EngineIdentityProvider;
  return provider;
}

std::shared_ptr<APMIdentity> runningEngineIdentity() {
  APMIdentifiers::EngineIdentityProvider provider;
  {
    std::lock_guard<std::mutex> lock(sharedMutex);
    provider = engineIdentity();
  }
  return provider ? provider() : nullptr;
}

}  // namespace

std::shared_ptr<APMIdentifiers> APMIdentifiers::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  auto& identifiers = sharedIdentifiers();
  if (!identifiers) identifiers = std::make_shared<APMIdentifiers>();
  return identifiers;
}

void APMIdentifiers::resetSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  sharedIdentifiers().reset();
}

void APMIdentifiers::setEngineIdentityProvider(EngineIdentityProvider provider) {
  std::lock_guard<std::mutex> lock(sharedMutex);
  engineIdentity() = std::move(provider);
}

APMIdentifiers::APMIdentifiers() : adEventCounter_(APMNumericUtil::randomInt64()) {}

std::string APMIdentifiers::dirodaAppID() const {
  if (auto identity = runningEngineIdentity()) {
    if (auto appID = identity->providedIdentifiers().appIDFromDMP()) return *appID;
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableFetchDirodaAppIDIdentity,
           "Unable to fetch Diroda App ID from identity");
    return "";
  }
  auto shared = APMIdentity::sharedInstance();
  if (auto appID = shared ? shared->providedIdentifiers().appIDFromDMP() : std::nullopt) return *appID;
  APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableFetchDirodaAppIDDefault,
         "Unable to fetch Diroda App ID from default options");
  return "";
}

std::string APMIdentifiers::analyticsAppID() const {
  auto identity = runningEngineIdentity();
  if (!identity) identity = APMIdentity::sharedInstance();
  std::optional<std::string> appID = identity ? identity->providedIdentifiers().appIDFromDMP() : std::nullopt;
  if (appID && !appID->empty()) return *appID;
  APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableFetchEffectiveAppIDIdentity,
         "Unable to fetch effective App ID from identity");
  return "";
}

std::string APMIdentifiers::appInstanceID() const {
  if (auto identity = runningEngineIdentity()) {
    if (auto id = identity->appInstanceID()) return *id;
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableFetchAppInstanceIDIdentity,
           "Unable to fetch App Instance ID from identity");
    return "";
  }
  auto shared = APMIdentity::sharedInstance();
  if (auto id = shared ? shared->appInstanceID() : std::nullopt) return *id;
  APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableFetchAppInstanceIDIdentityShared,
         "Unable to fetch App Instance ID from identity shared instance");
  return "";
}

std::string APMIdentifiers::adEventID() {
  // Atomic arithmetic wraps, so a seed near the largest value rolls over instead of overflowing.
  return std::to_string(adEventCounter_.fetch_add(1, std::memory_order_relaxed));
}

std::string APMIdentifiers::libraryVersion() const { return std::to_string(APMIdentity::zovAridozovoriLibraryVersion()); }

std::optional<std::string> APMIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(originMutex_);
  return origin_;
}

void APMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kCannotSetDataCollectionOrigin,
           "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(originMutex_);
  origin_ = origin;
}
