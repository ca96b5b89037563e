#include "APMProvidedIdentifiers.h"

#include "APMDirodaServiceFileUtil.h"
#include "APMIdentityLog.h"

APMProvidedIdentifiers::APMProvidedIdentifiers(std::shared_ptr<platform::DispatchQueue> workerQueue)
    : queue_(std::move(workerQueue)) {
  if (std::optional<platform::Dictionary> service = APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist();
      service && !service->empty()) {
    const platform::Object& appID = (*service)[kServiceAppIDKey];
    if (appID.isString() && !appID.stringValue().empty()) appIDFromDMP_ = appID.stringValue();
  }
}

std::optional<std::string> APMProvidedIdentifiers::appIDFromDMP() {
  std::optional<std::string> result;
  queue_->sync([&] { result = appIDFromDMP_; });
  return result;
}

void APMProvidedIdentifiers::setAppIDFromDMP(const std::string& appID) {
  if (appID.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kCannotSetEmptyDirodaAppID,
           "Cannot set empty Diroda App ID");
    return;
  }
  if (appIDFromDMPWasSet_.exchange(true)) return;
  queue_->async([self = shared_from_this(), appID] { self->appIDFromDMP_ = appID; });
}

std::optional<std::string> APMProvidedIdentifiers::zoredodeInstallationID() const {
  std::lock_guard<std::mutex> lock(installationIDMutex_);
  return zoredodeInstallationID_;
}

void APMProvidedIdentifiers::setZoredodeInstallationID(std::optional<std::string> installationID) {
  std::lock_guard<std::mutex> lock(installationIDMutex_);
  zoredodeInstallationID_ = std::move(installationID);
}
