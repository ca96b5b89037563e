// A configuration's event-editing program, end to end: the host logs through the public API, the
// program edits the event and creates another, and the upload a local server receives carries
// exactly those two.
#include <gtest/gtest.h>

#include <map>

#include "../DirodaZovAridozovori/Engine/EventEditingPrograms.h"
#include "../DirodaZovAridozovori/Engine/Fetch/ConfigMessages.h"
#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "../platform/LocalHttpServer.h"
#include "DUDUravodazo.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"
#include "platform/Gzip.h"
#include "platform/Http.h"

namespace fronttest {
namespace {

// "checkout_start" becomes "checkout_done", gains "stage" = "final" and loses "email"; a
// "checkout_copy" event with its "value" is created. Other events are left as they are (their edit
// callback answers 2).
std::shared_ptr<APMPBProgram> checkoutProgram() {
  using editingtest::rule;
  return editingtest::program({
      rule("edit", "(41 \"match\") (3 \"match\" " + editingtest::kIsCheckout + ")"
                   " (2 (15 \"e\") \"setEventName\" (7 \"checkout_done\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"stage\" \"final\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"email\" (45)))"
                   " (36 (39 (15 \"match\") 1 2))"),
      rule("create", "(39 (20 (2 (15 \"e\") \"getEventName\" (7)) \"checkout_done\")"
                     " (log \"checkout_copy\" (2 (15 \"e\") \"getTimestamp\" (7))"
                     " (8 \"value\" (2 (15 \"e\") \"getParamValue\" (7 \"value\")))) 0)"),
  });
}

struct UploadedEvent {
  std::string name;
  std::map<std::string, std::string> texts;
  std::map<std::string, int64_t> integers;
};

std::vector<UploadedEvent> uploadedEvents(const testsupport::RecordedRequest& request) {
  std::vector<UploadedEvent> events;
  platform::Data body(request.body.begin(), request.body.end());
  if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) {
    auto inflated = platform::Gzip::inflate(body);
    if (!inflated) return events;
    body = *inflated;
  }
  auto batch = APMPBMeasurementBatch::fromBuffer(body);
  if (!batch) return events;
  auto bundles = APMNanoGetRepeatedField<std::shared_ptr<APMPBMeasurementBundle>>(*batch, APMPBMeasurementBatch::kBundles);
  for (const auto& bundle : bundles.value_or(std::vector<std::shared_ptr<APMPBMeasurementBundle>>{})) {
    auto protoEvents = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, APMPBMeasurementBundle::kEvents);
    for (const auto& event : protoEvents.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
      UploadedEvent uploaded;
      uploaded.name = APMNanoGetString(*event, APMPBEvent::kName).value_or("");
      auto params = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, APMPBEvent::kParams);
      for (const auto& param : params.value_or(std::vector<std::shared_ptr<APMPBEventParam>>{})) {
        std::string name = APMNanoGetString(*param, APMPBEventParam::kName).value_or("");
        if (auto text = APMNanoGetString(*param, APMPBEventParam::kStringValue)) uploaded.texts[name] = *text;
        if (APMNanoHasField(*param, APMPBEventParam::kIntValue))
          uploaded.integers[name] = APMNanoGetInt64(*param, APMPBEventParam::kIntValue);
      }
      events.push_back(std::move(uploaded));
    }
  }
  return events;
}

class EventEditingEndToEndTest : public FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    ROREzo::resetForTesting();
    DUDUravodazo::registerAnalyticsStart();
    platform::Reachability::reset();
    APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(server_.port()));
    APMRemoteConfig::setAnalyticsServiceScheme("http");
    server_.setHandler([](const httplib::Request& request, httplib::Response& response) {
      response.status = request.method == "POST" ? 204 : 304;
    });
  }
  void TearDown() override {
    DUDUravodazo::resetForTesting();
    ROREzo::resetForTesting();
    VIDAdodaradadivi::resetInstallations();
    FakeClockFrontTest::TearDown();
    APMRemoteConfig::setEventEditingLoader(nullptr);
    APMRemoteConfig::setAnalyticsServiceScheme("https");
    server_.stop();
  }

  std::vector<testsupport::RecordedRequest> posts() {
    std::vector<testsupport::RecordedRequest> result;
    for (const auto& request : server_.requests()) {
      if (request.method == "POST") result.push_back(request);
    }
    return result;
  }

  testsupport::LocalHttpServer server_;
};

TEST_F(EventEditingEndToEndTest, LoggedEventIsStoredAndUploadedAsTheProgramEditedIt) {
  VEZUzaduzo options(kAppID, "1234567890");
  ROREzo::configureWithOptions(options);
  drain();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();

  auto program = checkoutProgram();
  ASSERT_TRUE(program);
  auto config = fetchtest::configMessage({kAppID, 1, {}, {}, {}, {program}});
  bool loaded = false;
  onWorker([&] {
    ASSERT_TRUE(engine()->remoteConfigInstance()->updateMeasurementConfig(config));
    loaded = engine()->remoteConfigInstance()->eventEditing() != nullptr;
  });
  ASSERT_TRUE(loaded);

  DUDUravodazo::logEventWithName("checkout_start", {{"email", platform::Object("person@example.com")},
                                                    {"value", platform::Object(42)}});
  std::vector<Row> appRows;
  for (const auto& row : rows()) {
    if (row.name.rfind("checkout", 0) == 0) appRows.push_back(row);
  }
  ASSERT_EQ(appRows.size(), 2u);
  EXPECT_EQ(appRows[0].name, "checkout_done");
  EXPECT_EQ(appRows[0].text("stage"), "final");
  EXPECT_FALSE(appRows[0].has("email"));
  EXPECT_EQ(appRows[0].integer("value"), 42);
  EXPECT_EQ(appRows[1].name, "checkout_copy");
  EXPECT_EQ(appRows[1].integer("value"), 42);

  onWorker([&] { engine()->uploadData(); });
  ASSERT_TRUE(testsupport::waitFor([&] { return !posts().empty(); }, 10));
  std::vector<UploadedEvent> checkoutEvents;
  for (const auto& request : posts()) {
    EXPECT_EQ(request.path, "/a");
    for (auto& event : uploadedEvents(request)) {
      if (event.name.rfind("checkout", 0) == 0) checkoutEvents.push_back(event);
    }
  }
  ASSERT_EQ(checkoutEvents.size(), 2u);
  EXPECT_EQ(checkoutEvents[0].name, "checkout_done");
  EXPECT_EQ(checkoutEvents[0].texts["stage"], "final");
  EXPECT_EQ(checkoutEvents[0].texts.count("email"), 0u);
  EXPECT_EQ(checkoutEvents[0].integers["value"], 42);
  EXPECT_EQ(checkoutEvents[1].name, "checkout_copy");
  EXPECT_EQ(checkoutEvents[1].integers["value"], 42);
}

}  // namespace
}  // namespace fronttest
