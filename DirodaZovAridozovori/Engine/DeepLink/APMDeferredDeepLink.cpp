#include "APMDeferredDeepLink.h"

#include <string>
#include <vector>

#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/DeepLink/APMDeepLinkLog.h"
#include "platform/JSON.h"

std::optional<platform::URL> APMDeferredDeepLinkRequestURL(const std::string& scheme, const std::string& host,
                                                           const APMDeferredDeepLinkRequest& request) {
  std::vector<platform::URLQueryItem> items = {
      {"sdk_version", std::to_string(request.sdkVersion)},
      {"rdid", request.resettableDeviceID},
      {"id_type", "idfa"},
      {"bundleid", request.bundleID},
      {"retry", std::to_string(request.retryCount)},
  };
  if (request.testLink) items.push_back({"ddl_test", "1"});
  if (!request.consentSignals.empty()) items.push_back({"gcs", request.consentSignals});
  items.push_back({"dma", request.isDMARegion ? "1" : "0"});
  if (request.adUserDataDenied) {
    items.push_back({"dma_cps", "-"});
  } else if (request.isDMARegion && !request.corePlatformServices.empty()) {
    std::string joined;
    for (const auto& service : request.corePlatformServices) joined += service;  // a set iterates sorted
    items.push_back({"dma_cps", joined});
  }
  if (request.adPersonalization) items.push_back({"npa", *request.adPersonalization == 1 ? "0" : "1"});
  return platform::URL::make(scheme, host, kAPMDeferredDeepLinkPath, items);
}

std::optional<platform::URL> APMDeferredDeepLinkURL(const platform::Dictionary& info) {
  auto link = platform::JSON::string(info, "deeplink");
  return link ? platform::URL::parse(*link) : std::nullopt;
}

std::optional<platform::Dictionary> deepLinkInfoFromResponseData(const platform::Data& data) {
  if (data.empty()) {
    APMLog(APMLogLevel::kVerbose, APMDeepLinkLogCode::kDeferredDeepLinkResponseEmpty,
           "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  platform::Error error;
  auto info = platform::JSON::parseObject(data, &error);
  if (!info) {
    // A reply that is JSON but not an object carries no link either: the same failure.
    APMLog(APMLogLevel::kErrorSampled, APMDeepLinkLogCode::kFailedParseDeferredDeepLinkJSON,
           "Failed to parse Deferred Deep Link from JSON. Error", error);
    return std::nullopt;
  }
  if (!APMDeferredDeepLinkURL(*info)) return std::nullopt;
  return info;
}
