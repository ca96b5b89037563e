#pragma once
// The deferred deep link: the link an install was attributed to, asked once of the ad-services
// endpoint at first launch. This file holds the request's URL and the reading of the reply; the
// decision to ask and the request itself belong to APMDeepLinkReporter.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "platform/Object.h"
#include "platform/URL.h"

inline constexpr const char* kAPMDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";
// The launch argument that asks the endpoint for a test link (builds not from the App Store only).
inline constexpr const char* kAPMDeferredDeepLinkDebugArgument = "-DebugDeferredDeepLink";
// The application's Info.plist switch; the feature is off unless it holds a true number.
inline constexpr const char* kAPMDeferredDeepLinkEnabledKey = "DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";

// What the request tells the endpoint.
struct APMDeferredDeepLinkRequest {
  int64_t sdkVersion = 0;
  std::string resettableDeviceID;
  std::string bundleID;
  int64_t retryCount = 0;
  bool testLink = false;                // ddl_test=1
  std::string consentSignals;           // gcs, when non-empty
  bool isDMARegion = false;             // dma
  bool adUserDataDenied = false;        // dma_cps=- when denied
  std::set<std::string> corePlatformServices;
  std::optional<int64_t> adPersonalization;  // 1 granted, 0 denied; npa when known
};

// scheme://host/pagead/conversion/app/deeplink?sdk_version=…&rdid=…&id_type=idfa&bundleid=…&retry=…
// then ddl_test, gcs, dma, dma_cps and npa as they apply. Every value is percent-encoded. None when
// the result is not a URL (a malformed host).
std::optional<platform::URL> APMDeferredDeepLinkRequestURL(const std::string& scheme, const std::string& host,
                                                           const APMDeferredDeepLinkRequest& request);

// The reply's JSON object when its "deeplink" is a string that forms a URL; none for an empty or
// unreadable body, a top level that is not an object, or no usable link (logged with 23201/23202).
std::optional<platform::Dictionary> deepLinkInfoFromResponseData(const platform::Data& data);
// The link of a reply deepLinkInfoFromResponseData accepted.
std::optional<platform::URL> APMDeferredDeepLinkURL(const platform::Dictionary& info);
