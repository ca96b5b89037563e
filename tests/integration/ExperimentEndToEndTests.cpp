// Experiments end to end: the experiment fetch due after the start posts its request to a server on
// 127.0.0.1, whose reply (encoded by protoc's own encoder) waits as a pending snapshot until an upload
// finds nothing (more) to send, is served after a restart, and puts its experiment ID into bundles.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>

#include "../DirodaZovAridozovori/Messages/ProtocEncoding.h"
#include "../ZoredodeAnalytics/PublicAPITestFixture.h"
#include "APMEManager.h"
#include "DirodaUtilities/NSData/NSData+DULGzip.h"
#include "Upload/APMEngineUploadRoad.h"
#include "LocalCollector.h"
#include "TestSupport.h"
#include "platform/Http.h"

namespace fronttest {
namespace {

using Bundle = APMPBMeasurementBundle;
using namespace integrationtest;

const char* const kReply = R"(
snapshots {
  sdk_name: "app_measurement"
  experiments { experiment_id: 4242 flags { name: "session_stitching_token_feature_enabled" bool_value: true } }
}
)";

class ExperimentEndToEndTest : public PublicAPITest<FakeClockFrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    platform::Reachability::reset();
    reply_ = *dul_dataByGzippingData(protoctest::protocEncode("ExperimentResponse", "experiment.proto", kReply));
    collector_.server().Get(".*", [](const httplib::Request&, httplib::Response& response) { response.status = 304; });
    // A content reader keeps the server library from parsing the body as the form it is declared to be.
    collector_.server().Post("/sdk-exp", [this](const httplib::Request&, httplib::Response& response,
                                                const httplib::ContentReader& reader) {
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) body = *dul_dataByInflatingGzippedData(body);
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(body);
      response.set_content(std::string(reply_.begin(), reply_.end()), "application/x-protobuf");
    });
    collector_.start();
  }

  // A fresh configuration, so that bundling may run.
  void startSDK() {
    PublicAPITest::startSDK();
    applyConfig({});
  }
  // Uploads what is stored (possibly nothing) and waits until the engine is idle again.
  void upload() {
    ASSERT_TRUE(waitUntilIdle());
    onWorker([&] { engine()->uploadRoad().uploadData(); });
    ASSERT_TRUE(waitUntilIdle());
  }

  // The stored snapshots of one table of the experiment database.
  APMESnapshots stored(std::optional<APMESnapshots> (APMEDatabase::*fetch)(platform::Error*)) {
    auto taskManager = APMEManager::sharedInstance()->taskManager();
    APMESnapshots snapshots;
    taskManager->dispatchSyncOnWorkerQueue([&] {
      if (auto database = taskManager->database()) snapshots = ((*database).*fetch)(nullptr).value_or(APMESnapshots{});
    });
    return snapshots;
  }
  std::vector<platform::Data> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::shared_ptr<APMRemoteConfig> config() { return engine()->remoteConfigInstance(); }

  testsupport::ScopedEnvironment language_{"LANGUAGE", "de_CH"};
  Collector collector_;
  platform::Data reply_;
  std::mutex mutex_;
  std::vector<platform::Data> requests_;
};

TEST_F(ExperimentEndToEndTest, AFetchedSnapshotWaitsForAQuietUploadThenTravelsInBundles) {
  startSDK();
  const bool settingDefault = config()->features().sessionStitchingTokenFeatureEnabled();
  ASSERT_FALSE(settingDefault);

  // The fetch is due ten seconds after the start.
  clock_->advance(9);
  drain();
  EXPECT_TRUE(requests().empty());
  clock_->advance(1);
  ASSERT_TRUE(testsupport::waitFor([&] {
    auto pending = stored(&APMEDatabase::fetchAllPendingSnapshots);
    return pending.size() == 1 && pending.front()->manuallyActivated();
  }, 10));
  // The configuration hears of the snapshot on the main queue, once the task manager stored it.
  APMEManager::sharedInstance()->taskManager()->dispatchSyncOnWorkerQueue([] {});
  platform::DispatchQueue::main()->drain();
  auto posted = requests();
  ASSERT_EQ(posted.size(), 1u);
  const std::string diversionKey = APMIdentity::sharedInstance()->diversionKey();
  ASSERT_EQ(diversionKey.size(), 5u);
  const std::string expected = std::string(R"(
app_property { platform: "macos" language: "de-ch" bundle_id: "com.example.host" from_store: false library_version: 10000 }
client_properties { sdk_name: "app_measurement" diversion: ")") + diversionKey + R"(-app_measurement" sdk_version: 111500 }
)";
  EXPECT_EQ(posted[0], protoctest::protocEncode("ExperimentRequest", "experiment.proto", expected));

  // Pending, the snapshot changes nothing, until the upload road finds nothing (more) to send; then
  // it becomes active, here and in the database.
  EXPECT_EQ(config()->features().sessionStitchingTokenFeatureEnabled(), settingDefault);
  EXPECT_TRUE(config()->experiments().experimentIDs().empty());
  upload();
  EXPECT_TRUE(config()->features().sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(config()->experiments().experimentIDs(), std::vector<int64_t>{4242});
  EXPECT_TRUE(stored(&APMEDatabase::fetchAllPendingSnapshots).empty());
  ASSERT_EQ(stored(&APMEDatabase::fetchAllActivatedSnapshots).size(), 1u);

  // A new process serves it from the start, and its bundles carry the experiment.
  restartSDK();
  EXPECT_TRUE(config()->features().sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(config()->experiments().experimentIDs(), std::vector<int64_t>{4242});
  const size_t before = collector_.uploads().size();
  DUDUravodazo::logEventWithName("level_end", {{"level", platform::Object(1)}});
  drain();
  upload();
  auto uploads = collector_.uploads();
  ASSERT_GT(uploads.size(), before);
  ASSERT_FALSE(uploads.back().empty());
  for (const auto& bundle : uploads.back()) {
    EXPECT_EQ(APMNanoGetRepeatedField<int64_t>(*bundle, Bundle::kExperimentIds), std::vector<int64_t>{4242});
  }
}

}  // namespace
}  // namespace fronttest
