// A configuration's event-editing program, end to end: the host logs through the public API, the
// program edits the event and creates another, and the upload a local server receives carries
// exactly those two.
#include <gtest/gtest.h>

#include <map>

#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "../platform/LocalHttpServer.h"
#include "DUDUravodazo.h"
#include "EventEditing/APMPProgramTextFormat.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"
#include "platform/Gzip.h"
#include "platform/Http.h"

namespace fronttest {
namespace {

// The program, in the text form program authors write: "checkout_start" becomes "checkout_done",
// gains "stage" = "final" and loses "email"; a "checkout_copy" event with its "value" is created.
// Other events are left as they are (their edit callback answers 2).
std::string entity(const std::string& kind, const std::string& text) {
  if (kind == "s") return "{ type: STRING string_value: \"" + text + "\" }";
  return "{ type: NUMBER number_value: " + text + " }";
}
std::string statement(const std::string& name, const std::vector<std::string>& arguments) {
  std::string text = "{ type: STATEMENT function_name: \"" + name + "\"";
  for (const auto& argument : arguments) text += " value " + argument;
  return text + " }";
}
std::string variable(const std::string& name) { return statement("15", {entity("s", name)}); }
std::string call(const std::string& receiver, const std::string& method, const std::vector<std::string>& arguments) {
  return statement("2", {receiver, entity("s", method), statement("7", arguments)});
}
std::string eventNameIs(const std::string& name) {
  return statement("20", {call(variable("e"), "getEventName", {}), entity("s", name)});
}
std::string callback(const std::vector<std::string>& body) {
  std::vector<std::string> parts{entity("s", ""), statement("7", {entity("s", "e")})};
  parts.insert(parts.end(), body.begin(), body.end());
  return statement("51", parts);
}
std::string ruleMap(const std::string& type, const std::string& function) {
  return statement("8", {entity("s", "type"), entity("s", type), entity("s", "fn"), function});
}

std::string programText() {
  std::string text;
  text += "instructions " + statement("41", {entity("s", "reg"), entity("s", "log")}) + "\n";
  text += "instructions " +
          statement("3", {entity("s", "reg"), statement("require", {entity("s", "internal.registerCallback")})}) + "\n";
  text += "instructions " +
          statement("3", {entity("s", "log"), statement("require", {entity("s", "internal.eventLogger")})}) + "\n";
  text += "instructions " +
          statement("50", {entity("s", "register"), statement("7", {entity("s", "rule")}),
                           statement("reg", {entity("n", "0"), statement("16", {variable("rule"), entity("s", "fn")}),
                                             variable("rule")})}) +
          "\n";
  std::string edit = ruleMap(
      "edit", callback({statement("41", {entity("s", "match")}),
                        statement("3", {entity("s", "match"), eventNameIs("checkout_start")}),
                        call(variable("e"), "setEventName", {entity("s", "checkout_done")}),
                        call(variable("e"), "setParamValue", {entity("s", "stage"), entity("s", "final")}),
                        call(variable("e"), "setParamValue", {entity("s", "email"), statement("45", {})}),
                        statement("36", {statement("39", {variable("match"), entity("n", "1"), entity("n", "2")})})}));
  std::string create = ruleMap(
      "create",
      callback({statement(
          "39", {eventNameIs("checkout_done"),
                 statement("log", {entity("s", "checkout_copy"), call(variable("e"), "getTimestamp", {}),
                                   statement("8", {entity("s", "value"),
                                                   call(variable("e"), "getParamValue", {entity("s", "value")})})}),
                 entity("n", "0")})}));
  text += "activities { activities { name: \"register\" data " + edit + " data " + create + " } }\n";
  return text;
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

  std::string problem;
  auto bytes = APMPProgramBytesFromTextForm(programText(), &problem);
  ASSERT_TRUE(bytes) << problem;
  auto program = APMPBProgram::fromBuffer(*bytes);
  ASSERT_TRUE(program);
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetString(*config, 1, std::string(kAppID));
  APMNanoSetRepeatedField(*config, 3, std::vector<std::shared_ptr<APMPBSetting>>{});
  APMNanoSetRepeatedField(*config, 8, std::vector<std::shared_ptr<APMPBProgram>>{program});
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
