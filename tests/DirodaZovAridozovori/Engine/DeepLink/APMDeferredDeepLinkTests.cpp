// The deferred deep link's request URL and the reading of the endpoint's reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeepLink/APMDeferredDeepLink.h"

namespace {

TEST(DeferredDeepLinkTest, QueryCarriesTheDeviceTheAppAndTheConsentInOrder) {
  const std::string base =
      "https://ads.example/pagead/conversion/app/deeplink?sdk_version=111500&rdid=a%20b%23c&id_type=idfa&"
      "bundleid=com.example%26retry%3D0&retry=2";
  struct Case {
    const char* what;
    void (*change)(APMDeferredDeepLinkRequest&);
    std::string query;
  };
  const std::vector<Case> cases = {
      {"plain", [](APMDeferredDeepLinkRequest&) {}, "&dma=0"},
      {"test link, signals, npa granted",
       [](APMDeferredDeepLinkRequest& r) {
         r.testLink = true;
         r.consentSignals = "G1-0";
         r.adPersonalization = 1;
       },
       "&ddl_test=1&gcs=G1-0&dma=0&npa=0"},
      {"ad user data denied wins over the services",
       [](APMDeferredDeepLinkRequest& r) {
         r.isDMARegion = true;
         r.adUserDataDenied = true;
         r.corePlatformServices = {"b"};
         r.adPersonalization = 0;
       },
       "&dma=1&dma_cps=-&npa=1"},
      {"ad user data denied outside a DMA region", [](APMDeferredDeepLinkRequest& r) { r.adUserDataDenied = true; },
       "&dma=0&dma_cps=-"},
      {"services sorted in a DMA region",
       [](APMDeferredDeepLinkRequest& r) {
         r.isDMARegion = true;
         r.corePlatformServices = {"syn", "ads", "mkt"};
       },
       "&dma=1&dma_cps=adsmktsyn"},
      {"services outside a DMA region", [](APMDeferredDeepLinkRequest& r) { r.corePlatformServices = {"ads"}; },
       "&dma=0"},
  };
  for (const auto& c : cases) {
    APMDeferredDeepLinkRequest request;
    request.sdkVersion = 111500;
    request.resettableDeviceID = "a b#c";  // values are encoded: they cannot split the query
    request.bundleID = "com.example&retry=0";
    request.retryCount = 2;
    c.change(request);
    auto url = APMDeferredDeepLinkRequestURL("https", "ads.example", request);
    ASSERT_TRUE(url) << c.what;
    EXPECT_EQ(url->absoluteString(), base + c.query) << c.what;
  }
  EXPECT_FALSE(APMDeferredDeepLinkRequestURL("https", "bad host", {})) << "no URL from a malformed host";
}

TEST(DeferredDeepLinkTest, OnlyAnObjectWithAUsableLinkIsALink) {
  const std::vector<std::string> noLink = {"",
                                           "<html>",
                                           R"(["https://example.com/item"])",
                                           R"({"timestamp": 5})",
                                           R"({"deeplink": 5})",
                                           R"({"deeplink": "not a url"})"};
  for (const auto& body : noLink) {
    EXPECT_FALSE(deepLinkInfoFromResponseData(platform::Data(body.begin(), body.end()))) << body;
  }
  const std::string body = R"({"deeplink": "myapp://item/7?x=1", "timestamp": "1699956000"})";
  auto info = deepLinkInfoFromResponseData(platform::Data(body.begin(), body.end()));
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, (platform::Dictionary{{"deeplink", "myapp://item/7?x=1"}, {"timestamp", "1699956000"}}));
  EXPECT_EQ(APMDeferredDeepLinkURL(*info)->absoluteString(), "myapp://item/7?x=1");
}

}  // namespace
