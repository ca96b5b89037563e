// On-device conversion measurement end to end: the host hands in an e-mail address through the
// public API, the linked query client's query reaches a server on 127.0.0.1, and the match it
// answers travels in the bundle of the next event.
#include <gtest/gtest.h>
#include <httplib.h>

#include "APMEngineRegistry.h"
#include "../DirodaZovAridozovori/Engine/OnDeviceConversion/OnDeviceConversionTestDoubles.h"
#include "../ZoredodeAnalytics/PublicAPITestFixture.h"
#include "Fetch/APMEngineFetch.h"
#include "Upload/APMEngineUploadRoad.h"
#include "LocalCollector.h"
#include "platform/Http.h"

namespace fronttest {
namespace {

using namespace integrationtest;

class OnDeviceConversionEndToEndTest : public PublicAPITest<FrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    platform::Reachability::reset();
    collector_.server().Get(".*", [](const httplib::Request&, httplib::Response& response) { response.status = 304; });
    collector_.server().Post("/psm", [this](const httplib::Request& request, httplib::Response& response) {
      if (!request.body.empty()) ++queries_;
      response.status = 200;
      response.set_content("match-42", "application/octet-stream");
    });
    collector_.start();
  }

  // Field 53 of the uploaded bundle that carries the match's "_fx" event.
  std::shared_ptr<APMPBOnDeviceMeasurementInfo> matchBundleInfo() {
    for (const auto& upload : collector_.uploads()) {
      for (const auto& bundle : upload) {
        for (const auto& event : eventsOf(Upload{bundle})) {
          if (nameOf(*event) != "_fx" || uploadtest::textParameter(*event, "_fxs") != "psm") continue;
          return APMNanoGetMessage<APMPBOnDeviceMeasurementInfo>(*bundle, APMPBMeasurementBundle::kOnDeviceMeasurementInfo);
        }
      }
    }
    return nullptr;
  }
  bool networkIdle() {
    bool idle = false;
    onWorker([&] { idle = !engine()->fetch().isNetworkRequestPending(); });
    return idle;
  }

  Collector collector_;
  std::atomic<int> queries_{0};  // with a payload
};

TEST_F(OnDeviceConversionEndToEndTest, AMatchFromTheQueryTravelsInTheNextBundle) {
  odmtest::ClientSetup setup;
  setup.url = "http://" + APMRemoteConfigNetwork::analyticsServiceHost() + "/psm";
  auto clientClass = std::make_shared<odmtest::FakePSMClientClass>(setup);
  platform::PrivateSetMembershipClientClass::registerProvider(clientClass);
  configure();
  ASSERT_TRUE(APMEngineRegistry::hasSharedInstance());
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();
  applyConfig({});

  const auto before = static_cast<int64_t>(platform::now() * 1000);
  DUDUravodazo::initiateOnDeviceConversionMeasurementWithEmailAddress("person@example.com");
  ASSERT_TRUE(testsupport::waitFor([&] { return queries_.load() == 1 && networkIdle(); }, 10));
  drain();
  const auto after = static_cast<int64_t>(platform::now() * 1000) + 1;
  ASSERT_EQ(clientClass->made().size(), 1u);

  // The match's own event is the first written after the value was stored.
  onWorker([&] { engine()->uploadRoad().uploadData(); });
  ASSERT_TRUE(testsupport::waitFor([&] { return matchBundleInfo() && networkIdle(); }, 10));
  auto info = matchBundleInfo();
  ASSERT_TRUE(info);
  auto value = APMNanoGetMessage<APMPBOnDeviceMeasurementValue>(*info, APMPBOnDeviceMeasurementInfo::kOdm1Value);
  ASSERT_TRUE(value);
  EXPECT_EQ(APMNanoGetString(*value, APMPBOnDeviceMeasurementValue::kValue), "match-42");
  const int64_t setMillis = APMNanoGetInt64(*value, APMPBOnDeviceMeasurementValue::kSetTimestampMillis);
  EXPECT_GE(setMillis, before);
  EXPECT_LE(setMillis, after);
  EXPECT_FALSE(APMNanoGetMessage<APMPBOnDeviceMeasurementValue>(*info, APMPBOnDeviceMeasurementInfo::kOdm2Value));
}

}  // namespace
}  // namespace fronttest
