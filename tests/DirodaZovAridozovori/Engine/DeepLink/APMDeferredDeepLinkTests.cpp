// The deferred deep link's request URL and the reading of the endpoint's reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeepLink/APMDeferredDeepLink.h"

namespace {

constexpr const char* kBase =
    "https://ads.example/pagead/conversion/app/deeplink?sdk_version=111500&rdid=AD-ID&id_type=idfa&bundleid=com.example."
    "host&retry=2";

APMDeferredDeepLinkRequest baseRequest() {
  APMDeferredDeepLinkRequest request;
  request.sdkVersion = 111500;
  request.resettableDeviceID = "AD-ID";
  request.bundleID = "com.example.host";
  request.retryCount = 2;
  return request;
}

TEST(DeferredDeepLinkRequestTest, QueryCarriesTheDeviceTheAppAndTheConsentInOrder) {
  struct Case {
    const char* what;
    void (*change)(APMDeferredDeepLinkRequest&);
    std::string query;  // after the base
  };
  const std::vector<Case> cases = {
      {"outside a DMA region", [](APMDeferredDeepLinkRequest&) {}, "&dma=0"},
      {"test link and consent signals",
       [](APMDeferredDeepLinkRequest& r) {
         r.testLink = true;
         r.consentSignals = "G1-0";
       },
       "&ddl_test=1&gcs=G1-0&dma=0"},
      {"ad user data denied, outside a DMA region",
       [](APMDeferredDeepLinkRequest& r) { r.adUserDataDenied = true; },
       "&dma=0&dma_cps=-"},
      {"ad user data denied wins over the platform services",
       [](APMDeferredDeepLinkRequest& r) {
         r.isDMARegion = true;
         r.adUserDataDenied = true;
         r.corePlatformServices = {"b", "a"};
       },
       "&dma=1&dma_cps=-"},
      {"platform services sorted and joined in a DMA region",
       [](APMDeferredDeepLinkRequest& r) {
         r.isDMARegion = true;
         r.corePlatformServices = {"syn", "ads", "mkt"};
       },
       "&dma=1&dma_cps=adsmktsyn"},
      {"platform services outside a DMA region are not sent",
       [](APMDeferredDeepLinkRequest& r) { r.corePlatformServices = {"ads"}; },
       "&dma=0"},
      {"a DMA region without platform services", [](APMDeferredDeepLinkRequest& r) { r.isDMARegion = true; },
       "&dma=1"},
      {"ad personalization granted", [](APMDeferredDeepLinkRequest& r) { r.adPersonalization = 1; }, "&dma=0&npa=0"},
      {"ad personalization denied", [](APMDeferredDeepLinkRequest& r) { r.adPersonalization = 0; }, "&dma=0&npa=1"},
  };
  for (const auto& c : cases) {
    APMDeferredDeepLinkRequest request = baseRequest();
    c.change(request);
    auto url = APMDeferredDeepLinkRequestURL("https", "ads.example", request);
    ASSERT_TRUE(url) << c.what;
    EXPECT_EQ(url->absoluteString(), std::string(kBase) + c.query) << c.what;
  }
}

TEST(DeferredDeepLinkRequestTest, ValuesCannotSplitTheQuery) {
  APMDeferredDeepLinkRequest request = baseRequest();
  request.bundleID = "com.example&retry=0";
  request.resettableDeviceID = "a b#c";
  auto url = APMDeferredDeepLinkRequestURL("http", "127.0.0.1:8080", request);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->absoluteString(),
            "http://127.0.0.1:8080/pagead/conversion/app/deeplink?sdk_version=111500&rdid=a%20b%23c&id_type=idfa&"
            "bundleid=com.example%26retry%3D0&retry=2&dma=0");
  EXPECT_FALSE(APMDeferredDeepLinkRequestURL("https", "bad host", request)) << "no URL from a malformed host";
}

TEST(DeferredDeepLinkReplyTest, OnlyAnObjectWithAUsableLinkIsALink) {
  struct Case {
    const char* what;
    std::string body;
    bool link;
  };
  const std::vector<Case> cases = {
      {"empty", "", false},
      {"not JSON", "<html>", false},
      {"an array", R"(["https://example.com/item"])", false},
      {"a bare string", R"("https://example.com/item")", false},
      {"no deeplink", R"({"timestamp": 5})", false},
      {"deeplink not a string", R"({"deeplink": 5})", false},
      {"deeplink not a URL", R"({"deeplink": "not a url"})", false},
      {"deeplink empty", R"({"deeplink": ""})", false},
      {"a link", R"({"deeplink": "myapp://item/7?x=1", "timestamp": "1699956000"})", true},
  };
  for (const auto& c : cases) {
    auto info = APMDeepLinkInfoFromResponseData(platform::Data(c.body.begin(), c.body.end()));
    ASSERT_EQ(info.has_value(), c.link) << c.what;
    if (!c.link) continue;
    // The whole object is kept, so its extra information reaches the hand-over.
    EXPECT_EQ(*info, (platform::Dictionary{{"deeplink", "myapp://item/7?x=1"}, {"timestamp", "1699956000"}}));
    auto url = APMDeferredDeepLinkURL(*info);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), "myapp://item/7?x=1");
  }
}

}  // namespace
