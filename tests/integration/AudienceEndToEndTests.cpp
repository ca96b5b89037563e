// Audiences end to end: a configuration with audiences, encoded by protoc's own encoder, is fetched
// from a server on 127.0.0.1; what the host logs through the public API makes audiences true, and
// the uploaded bundles report them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <mutex>

#include "../DirodaZovAridozovori/Messages/ProtocEncoding.h"
#include "../ZoredodeAnalytics/PublicAPITestFixture.h"
#include "Fetch/APMEngineFetch.h"
#include "Upload/APMEngineUploadRoad.h"
#include "LocalCollector.h"
#include "TestSupport.h"
#include "platform/Http.h"

namespace fronttest {
namespace {

using Bundle = APMPBMeasurementBundle;
using Leaf = APMPBAudienceLeafFilterResult;
using namespace integrationtest;

// One audience per kind of filter; audience 6 has a filter no logged event reaches.
const char* const kAudiences = R"(
audiences { audience_id: 1 event_filters { filter_id: 0 event_name: "level_start"
  filters { param_name: "level" number_filter { comparison_type: GREATER_THAN comparison_value: "2" } } } }
audiences { audience_id: 2 event_filters { filter_id: 4 event_name: "spend_coins"
  event_count_filter { comparison_type: GREATER_THAN comparison_value: "1" } } }
audiences { audience_id: 3 property_filters { filter_id: 1 property_name: "favorite_animal"
  filter { string_filter { match_type: BEGINS_WITH expression: "GOR" } } } }
audiences { audience_id: 4 property_filters { filter_id: 0 property_name: "favorite_animal" dynamic: true
  filter { string_filter { match_type: IN_LIST expression_list: "cat" expression_list: "dog" } } } }
audiences { audience_id: 5 event_filters { filter_id: 2 event_name: "select_content" sequence: true
  filters { param_name: "content_type" string_filter { match_type: REGEXP expression: "^h.t$" } } } }
audiences { audience_id: 6 event_filters { filter_id: 0 event_name: "never_logged" } }
)";

class AudienceEndToEndTest : public PublicAPITest<FrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    platform::Reachability::reset();
    config_ = protocEncodedConfig();
    collector_.server().Get(R"(/config/app/(.+))", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++fetches_;
      response.status = 200;
      response.set_content(std::string(config_.begin(), config_.end()), "application/x-protobuf");
    });
    collector_.start();
  }

  static platform::Data protocEncodedConfig() {
    const std::string text = std::string("version: 3\napp_id: \"") + kAppID + "\"\n" + kAudiences;
    return protoctest::protocEncode("MeasurementConfig", "measurement_config.proto", text);
  }

  void fetch() {
    ASSERT_TRUE(waitUntilIdle());
    onWorker([&] { engine()->fetch().fetchRemoteConfig(); });
    ASSERT_TRUE(testsupport::waitFor([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      return fetches_ > 0;
    }, 10));
    ASSERT_TRUE(waitUntilIdle());
  }

  // Uploads what is stored; the results reported by the upload's last bundle, by audience.
  std::optional<std::map<int32_t, std::shared_ptr<Leaf>>> upload() {
    const size_t before = collector_.uploads().size();
    onWorker([&] { engine()->uploadRoad().uploadData(); });
    if (!testsupport::waitFor([&] { return collector_.uploads().size() > before; }, 10) || !waitUntilIdle()) {
      return std::nullopt;
    }
    const Upload posted = collector_.uploads().back();
    if (posted.empty()) return std::nullopt;
    std::map<int32_t, std::shared_ptr<Leaf>> leaves;
    for (const auto& leaf : APMNanoGetRepeatedField<std::shared_ptr<Leaf>>(*posted.back(), Bundle::kAudienceEvaluationResults)
                                .value_or(std::vector<std::shared_ptr<Leaf>>{})) {
      leaves[APMNanoGetInt32(*leaf, Leaf::kAudienceId)] = leaf;
    }
    return leaves;
  }

  // Whether the leaf's current data has both bits of the filter set.
  static bool isTrue(const Leaf& leaf, int32_t filterID) {
    auto data = APMNanoGetMessage<APMPBResultData>(leaf, Leaf::kCurrentData);
    if (!data) return false;
    auto status = APMNanoGetRepeatedField<uint64_t>(*data, APMPBResultData::kStatus).value_or(std::vector<uint64_t>{});
    auto results = APMNanoGetRepeatedField<uint64_t>(*data, APMPBResultData::kResults).value_or(std::vector<uint64_t>{});
    const size_t word = static_cast<size_t>(filterID / 64);
    const uint64_t bit = uint64_t{1} << (filterID % 64);
    return word < status.size() && word < results.size() && (status[word] & bit) && (results[word] & bit);
  }

  std::mutex mutex_;
  int fetches_ = 0;
  platform::Data config_;
  Collector collector_;  // last: its server stops before what its routes use
};

TEST_F(AudienceEndToEndTest, LoggedEventsAndPropertiesMakeExactlyTheMatchingAudiencesTrue) {
  ASSERT_FALSE(config_.empty());
  startSDK();
  fetch();

  // Nothing evaluated yet: the bundle carries no audience results at all.
  DUDUravodazo::logEventWithName("app_opened", {});
  drain();
  auto first = upload();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->empty());

  DUDUravodazo::setUserPropertyString(platform::Object("gorilla"), "favorite_animal");
  DUDUravodazo::logEventWithName("level_start", {{"level", platform::Object(3)}});
  DUDUravodazo::logEventWithName("spend_coins", {{"coins", platform::Object(5)}});
  DUDUravodazo::logEventWithName("select_content", {{"content_type", platform::Object("HAT")}});
  drain();
  auto second = upload();
  ASSERT_TRUE(second);
  struct Expected {
    int32_t audienceID;
    int32_t filterID;
    bool isTrue;
  } expected[] = {
      {1, 0, true},   // level 3 > 2
      {2, 4, false},  // one "spend_coins" so far: evaluated, not true
      {3, 1, true},   // "gorilla" begins with "GOR" in any case
      {4, 0, false},  // not in the list
      {5, 2, true},   // "HAT" matches "^h.t$" in any case
  };
  ASSERT_EQ(second->size(), std::size(expected)) << "audience 6 was never evaluated";
  for (const Expected& e : expected) {
    ASSERT_EQ(second->count(e.audienceID), 1u) << e.audienceID;
    EXPECT_EQ(isTrue(*second->at(e.audienceID), e.filterID), e.isTrue) << e.audienceID;
    EXPECT_TRUE(APMNanoGetBool(*second->at(e.audienceID), Leaf::kNewAudience)) << e.audienceID;
  }

  // A new process keeps the results, and the second "spend_coins" makes audience 2 true.
  restartSDK();
  DUDUravodazo::logEventWithName("spend_coins", {{"coins", platform::Object(1)}});
  drain();
  auto third = upload();
  ASSERT_TRUE(third);
  ASSERT_EQ(third->size(), std::size(expected));
  for (const Expected& e : expected) {
    EXPECT_EQ(isTrue(*third->at(e.audienceID), e.filterID), e.isTrue || e.audienceID == 2) << e.audienceID;
    EXPECT_FALSE(APMNanoGetBool(*third->at(e.audienceID), Leaf::kNewAudience)) << e.audienceID;
  }
}

}  // namespace
}  // namespace fronttest
