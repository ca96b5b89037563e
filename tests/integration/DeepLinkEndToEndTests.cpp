// Campaign attribution end to end against local servers on 127.0.0.1: the click identifiers of an
// opened link in the next uploaded bundle, the deferred deep link asked of the ad-services endpoint
// (postponed behind a configuration fetch, retried in a later launch, handed to the host), and a
// search-ad attribution answer logged as the install's campaign.
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "../DirodaZovAridozovori/Engine/DeepLink/DeepLinkTestFixture.h"
#include "LocalCollector.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "platform/AttributionTokenProvider.h"
#include "platform/Http.h"

namespace deeplinktest {
namespace {

using integrationtest::Collector;

class TokenProvider final : public platform::AttributionTokenProvider {
 public:
  std::optional<std::string> attributionToken(platform::Error*) override { return std::string("TOKEN-7"); }
};

class DeepLinkEndToEndTest : public DeepLinkTest {
 protected:
  struct Reply {
    int status = 200;
    std::string body;
  };

  void SetUp() override {
    platform::Reachability::reset();
    collector_.server().Get(R"(/config/app/.*)",
                            [](const httplib::Request&, httplib::Response& response) { response.status = 304; });
    collector_.server().Get("/pagead/conversion/app/deeplink",
                            [this](const httplib::Request& request, httplib::Response& response) {
                              std::unique_lock<std::mutex> lock(mutex_);
                              deferredRequests_.push_back({request.params.begin(), request.params.end()});
                              gateOpened_.wait(lock, [this] { return gateOpen_; });
                              response.status = deferredReply_.status;
                              response.set_content(deferredReply_.body, "application/json");
                            });
    collector_.server().Post("/api/v1/", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      attributionBodies_.push_back(request.body);
      response.set_content(attributionReply_, "application/json");
    });
    collector_.start();
    DeepLinkTest::SetUp();
  }

  void TearDown() override {
    openGate();
    DeepLinkTest::TearDown();
    APMSearchAdReporter::resetDeploymentForTesting();
  }

  void setUpProcess() override {
    DeepLinkTest::setUpProcess();
    APMSearchAdReporter::install();
    const std::string host = APMRemoteConfig::analyticsServiceHost();
    APMDeepLinkReporter::setAdServicesHost(host);
    APMDeepLinkReporter::setAdServicesScheme("http");
    APMSearchAdReporter::setAttributionServiceHost(host);
    APMSearchAdReporter::setAttributionServiceScheme("http");
    platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", platform::Object(true));
  }

  // Waits until no request of the engine is in flight and the worker has handled the replies.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      ASSERT_TRUE(testsupport::waitFor(
          [&] {
            bool idle = false;
            onWorker([&] { idle = engine()->isNetworkReadyForRequest(); });
            return idle;
          },
          10));
      drain();
    }
  }

  std::vector<std::map<std::string, std::string>> deferredRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deferredRequests_;
  }
  void setDeferredReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    deferredReply_ = std::move(reply);
  }

  // Holds the ad-services endpoint's replies back until opened.
  void closeGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = false;
  }
  void openGate() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gateOpen_ = true;
    }
    gateOpened_.notify_all();
  }
  std::optional<double> nextUpload() {
    std::optional<double> due;
    onWorker([&] { due = engine()->alarm()->scheduledTimestamp(); });
    return due;
  }

  Collector collector_;
  std::mutex mutex_;
  std::condition_variable gateOpened_;
  bool gateOpen_ = true;
  std::vector<std::map<std::string, std::string>> deferredRequests_;
  Reply deferredReply_;
  std::vector<std::string> attributionBodies_;
  std::string attributionReply_ = "{}";
};

TEST_F(DeepLinkEndToEndTest, ZadParametersOfALinkTravelWithTheNextBundle) {
  start();
  applyConfig({});
  APMAnalytics::handleOpenURL("app://open?zad_campaign=1&utm_source=s");
  drain();
  onWorker([&] { engine()->uploadData(); });
  ASSERT_TRUE(testsupport::waitFor([&] { return !collector_.uploads().empty(); }, 10));
  settle();

  auto upload = collector_.uploads().front();
  ASSERT_FALSE(upload.empty());
  auto info = APMNanoGetMessage<APMPBAdCampaignInfo>(*upload.back(), APMPBMeasurementBundle::kAdCampaignInfo);
  ASSERT_TRUE(info);
  auto entries = APMNanoGetRepeatedField<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>(
      *info, APMPBAdCampaignInfo::kDeepLinkZadParams);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ(APMNanoGetString(*entries->front(), APMPBDeepLinkZadParamsEntry::kKey),
            std::optional<std::string>("zad_campaign"));
  EXPECT_EQ(APMNanoGetString(*entries->front(), APMPBDeepLinkZadParamsEntry::kValue), std::optional<std::string>("1"));
}

// First launch: the configuration has never been fetched, so the request waits for the fetch and
// takes its upload attempt; the endpoint fails, and the upload still follows. Second launch: asked
// again with the retry count, answered with a link for the host. Third launch: not asked again.
TEST_F(DeepLinkEndToEndTest, DeferredDeepLinkIsRetriedInALaterLaunchAndHandedToTheHost) {
  std::vector<std::pair<std::string, platform::Dictionary>> handed;
  APMDeepLinkReporter::setDeferredDeepLinkHandler([&](const std::string& url, const platform::Dictionary& extra) {
    handed.emplace_back(url, extra);
    return true;
  });
  setDeferredReply({500, ""});
  start();
  EXPECT_TRUE(deferredRequests().empty()) << "postponed behind the configuration fetch";
  onWorker([&] { EXPECT_TRUE(engine()->shouldRequestDeferredDeepLinkAfterConfigFetch()); });

  onWorker([&] { engine()->uploadData(); });  // nothing bundled yet: it fetches the configuration
  ASSERT_TRUE(testsupport::waitFor([&] { return !deferredRequests().empty(); }, 10));
  settle();
  auto first = deferredRequests();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].at("sdk_version"), "111500");
  EXPECT_EQ(first[0].at("rdid"), kDeviceID);
  EXPECT_EQ(first[0].at("id_type"), "idfa");
  EXPECT_EQ(first[0].at("bundleid"), "com.example.host");
  EXPECT_EQ(first[0].at("retry"), "0");
  EXPECT_EQ(first[0].count("ddl_test"), 0u);
  EXPECT_EQ(first[0].count("dma"), 1u);
  EXPECT_TRUE(collector_.uploads().empty()) << "the request took the fetch's upload attempt";
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetryCount(), 1);

  // The upload schedule was armed again: the events of the first open still travel.
  auto due = nextUpload();
  ASSERT_TRUE(due);
  clock_->advance(*due - platform::now());
  ASSERT_TRUE(testsupport::waitFor([&] { return collector_.uploads().size() == 1; }, 10));
  settle();

  // In the next launch the configuration is fresh: the link is asked for at start. An upload due
  // while the request is in flight is refused; the request's end arms the schedule again.
  relaunch();
  setDeferredReply({200, R"({"deeplink": "myapp://promo/7?x=1", "timestamp": "1699956000"})"});
  closeGate();
  start();
  ASSERT_TRUE(testsupport::waitFor([&] { return deferredRequests().size() == 2; }, 10));
  EXPECT_EQ(deferredRequests()[1].at("retry"), "1");
  APMAnalytics::logEventWithName("level_up", {});
  drain();
  due = nextUpload();
  ASSERT_TRUE(due);
  clock_->advance(*due - platform::now());
  ASSERT_TRUE(testsupport::waitFor([&] { return !nextUpload(); }, 10)) << "the due upload was tried and refused";
  drain();
  EXPECT_EQ(collector_.uploads().size(), 1u);
  openGate();
  ASSERT_TRUE(testsupport::waitFor([&] { return !handed.empty(); }, 10));
  settle();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].first, "myapp://promo/7?x=1");
  EXPECT_EQ(handed[0].second, (platform::Dictionary{{"timestamp", "1699956000"}}));
  EXPECT_TRUE(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetrievalComplete());
  // Armed again once the request ended (and perhaps fired already: the upload was overdue).
  if (auto again = nextUpload()) clock_->advance(*again - platform::now());
  ASSERT_TRUE(testsupport::waitFor([&] { return collector_.uploads().size() == 2; }, 10));
  settle();

  relaunch();
  start();
  settle();
  EXPECT_EQ(deferredRequests().size(), 2u) << "retrieved once for good";
}

TEST_F(DeepLinkEndToEndTest, SearchAdAttributionIsLoggedAsTheInstallsCampaign) {
  platform::AttributionTokenProvider::registerProvider(std::make_shared<TokenProvider>());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    attributionReply_ = R"({"attribution": true, "orgId": 1, "campaignId": 1234567, "adId": 1234567,
                            "keywordId": "12323222", "conversionType": "Download"})";
  }
  start();
  ASSERT_TRUE(testsupport::waitFor([&] { return rowsNamed("_cmp").size() == 1; }, 10));
  auto row = rowsNamed("_cmp").front();
  EXPECT_EQ(row.origin, "auto");
  EXPECT_EQ(row.text("source"), "Apple");
  EXPECT_EQ(row.text("medium"), "search");
  EXPECT_EQ(row.text("campaign"), "1234567");
  EXPECT_EQ(row.text("term"), "12323222");
  EXPECT_EQ(row.integer("click_timestamp"), APMPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds() - 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(attributionBodies_, std::vector<std::string>{"TOKEN-7"});
  }
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->searchAdCampaignValue(), std::optional<bool>(true));

  relaunch();
  platform::AttributionTokenProvider::registerProvider(std::make_shared<TokenProvider>());
  start();
  onWorker([&] { EXPECT_FALSE(engine()->searchAdReporter()) << "the answer is known"; });
}

}  // namespace
}  // namespace deeplinktest
