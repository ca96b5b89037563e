// Campaign attribution end to end against a local server on 127.0.0.1: the click identifiers of an
// opened link in the next uploaded bundle, and the deferred deep link asked of the ad-services
// endpoint (postponed behind a configuration fetch, retried in a later launch, handed to the host).
#include <algorithm>
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "../DirodaZovAridozovori/Engine/DeepLink/DeepLinkTestFixture.h"
#include "Upload/APMEngineUploadRoad.h"
#include "LocalCollector.h"
#include "platform/Http.h"

namespace deeplinktest {
namespace {

using integrationtest::Collector;

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
    collector_.start();
    DeepLinkTest::SetUp();
  }

  void TearDown() override {
    openGate();
    DeepLinkTest::TearDown();
  }

  void setUpProcess() override {
    DeepLinkTest::setUpProcess();
    APMDeepLinkReporter::setAdServicesHost(APMRemoteConfigNetwork::analyticsServiceHost());
    APMDeepLinkReporter::setAdServicesScheme("http");
    platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", platform::Object(true));
  }

  // Waits until no request of the engine is in flight and the worker has handled the replies.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      ASSERT_TRUE(testsupport::waitFor(
          [&] {
            bool idle = false;
            onWorker([&] { idle = engine()->uploadRoad().isNetworkReadyForRequest(); });
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
    onWorker([&] { due = engine()->setup().alarm->scheduledTimestamp(); });
    return due;
  }

  Collector collector_;
  std::mutex mutex_;
  std::condition_variable gateOpened_;
  bool gateOpen_ = true;
  std::vector<std::map<std::string, std::string>> deferredRequests_;
  Reply deferredReply_;
};

TEST_F(DeepLinkEndToEndTest, ZadParametersOfALinkTravelWithTheNextBundle) {
  start();
  applyConfig({});
  APMAnalytics::handleOpenURL("app://open?zad_campaign=1&utm_source=s");
  drain();
  onWorker([&] { engine()->uploadRoad().uploadData(); });
  ASSERT_TRUE(testsupport::waitFor([&] { return !collector_.uploads().empty(); }, 10));
  auto info = APMNanoGetMessage<APMPBAdCampaignInfo>(*collector_.uploads().front().back(),
                                                     APMPBMeasurementBundle::kAdCampaignInfo);
  ASSERT_TRUE(info);
  auto entries = APMNanoGetRepeatedField<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>(
      *info, APMPBAdCampaignInfo::kDeepLinkZadParams);
  ASSERT_TRUE(entries && entries->size() == 1u);
  EXPECT_EQ(APMNanoGetString(*entries->front(), APMPBDeepLinkZadParamsEntry::kKey).value_or("") + "=" +
                APMNanoGetString(*entries->front(), APMPBDeepLinkZadParamsEntry::kValue).value_or(""),
            "zad_campaign=1");
  settle();
}

// First launch: the configuration has never been fetched, so the request waits for the fetch and
// takes its upload attempt; the endpoint fails, and the upload still follows. Second launch: the
// configuration is fresh, so it is asked at start with the retry count; an upload due meanwhile is
// refused, and the request's end arms the schedule again; the link reaches the host. Third launch:
// not asked again.
TEST_F(DeepLinkEndToEndTest, DeferredDeepLinkIsRetriedInALaterLaunchAndHandedToTheHost) {
  std::vector<std::string> handed;
  APMDeepLinkReporter::setDeferredDeepLinkHandler([&](const std::string& url, const platform::Dictionary& extra) {
    handed.push_back(url + " " + platform::Object(extra).description());
    return true;
  });
  setDeferredReply({500, ""});
  start();
  onWorker([&] {
    auto deepLink = std::dynamic_pointer_cast<APMDeepLinkComponent>(engine()->components().list().at(0));
    ASSERT_TRUE(deepLink);
    EXPECT_TRUE(deepLink->requestsDeferredDeepLinkAfterFetch());
  });
  onWorker([&] { engine()->uploadRoad().uploadData(); });  // nothing bundled yet: it fetches the configuration
  ASSERT_TRUE(testsupport::waitFor([&] { return !deferredRequests().empty(); }, 10));
  settle();
  auto query = deferredRequests().front();
  EXPECT_TRUE(query.at("gcs").starts_with("G1"));
  query.erase("gcs");
  EXPECT_EQ(query, (std::map<std::string, std::string>{{"sdk_version", "111500"},
                                                       {"rdid", kDeviceID},
                                                       {"id_type", "idfa"},
                                                       {"bundleid", "com.example.host"},
                                                       {"retry", "0"},
                                                       {"dma", "1"}}));
  EXPECT_TRUE(collector_.uploads().empty()) << "the request took the fetch's upload attempt";
  auto due = nextUpload();
  ASSERT_TRUE(due);
  clock_->advance(*due - platform::now());
  ASSERT_TRUE(testsupport::waitFor([&] { return !collector_.uploads().empty(); }, 10));
  settle();
  const size_t uploadsOfTheFirstLaunch = collector_.uploads().size();  // one or more batches

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
  EXPECT_EQ(collector_.uploads().size(), uploadsOfTheFirstLaunch);
  openGate();
  ASSERT_TRUE(testsupport::waitFor([&] { return !handed.empty(); }, 10));
  settle();
  EXPECT_EQ(handed, std::vector<std::string>{"myapp://promo/7?x=1 " +
                                             platform::Object(platform::Dictionary{{"timestamp", "1699956000"}})
                                                 .description()});
  // The request's end re-arms the schedule on the worker, possibly after the host saw the link: keep
  // moving the clock to whatever upload is due until one arrives.
  ASSERT_TRUE(testsupport::waitFor(
      [&] {
        if (auto again = nextUpload()) clock_->advance(std::max(0.0, *again - platform::now()));
        return collector_.uploads().size() > uploadsOfTheFirstLaunch;
      },
      10));
  settle();

  relaunch();
  start();
  settle();
  EXPECT_EQ(deferredRequests().size(), 2u) << "retrieved once for good";
}

}  // namespace
}  // namespace deeplinktest
