// On-device conversion measurement on a running engine: the dependency checks at start-up, which
// identifier makes the query client, the query on a server on 127.0.0.1 with its counters, match,
// retries, postponement and wipe, the expiry of old values, the conversion service's answers after
// a fetch, and the linked-component flags of the bundle metadata.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <thread>

#include "../Front/FrontTestFixture.h"
#include "APMASLLogger.h"
#include "Logger/DULLogger.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "OnDeviceConversionTestDoubles.h"
#include "platform/Http.h"
#include "platform/ProcessInfo.h"

namespace fronttest {
namespace {

using namespace odmtest;
using Kind = PrivateSetMembershipIdentifier;

constexpr double kDay = 86400;

class OnDeviceConversionTest : public FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    DULLoggerSetLevel(DULLoggerLevelDebug);
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(recordsMutex_);
      records_.push_back(record);
    });
    // The engine's own uploads and fetches stay off the network; the queries still go out.
    platform::Reachability::setReachable(false);
    APMOnDeviceConversionReporter::install();
    server_.Post("/psm", [this](const httplib::Request& request, httplib::Response& response) {
      std::future<std::pair<int, std::string>> reply;
      {
        std::lock_guard<std::mutex> lock(serverMutex_);
        queries_.push_back(request.params);
        reply = nextReply_();
      }
      auto [status, body] = reply.get();
      response.status = status;
      response.set_content(body, "application/octet-stream");
    });
    const int port = server_.bind_to_any_port("127.0.0.1");
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    psmURL_ = "http://127.0.0.1:" + std::to_string(port) + "/psm";
  }

  void TearDown() override {
    FakeClockFrontTest::TearDown();
    server_.stop();
    serverThread_.join();
    DULLoggerSetSink(nullptr);
    DULLoggerResetForTesting();
    platform::Reachability::reset();
  }

  // Every query is answered at once with this status and body.
  void answerQueries(int status, std::string body) {
    std::lock_guard<std::mutex> lock(serverMutex_);
    nextReply_ = [status, body] {
      std::promise<std::pair<int, std::string>> promise;
      promise.set_value({status, body});
      return promise.get_future();
    };
  }

  std::shared_ptr<FakePSMClientClass> linkClientClass(std::set<Kind> supported = {Kind::EmailAddress, Kind::PhoneNumber,
                                                                                  Kind::HashedEmailAddress,
                                                                                  Kind::HashedPhoneNumber},
                                                      bool withURL = true) {
    FakePSMClient::Setup setup;
    if (withURL) setup.url = psmURL_;
    auto clientClass = std::make_shared<FakePSMClientClass>(setup, supported);
    platform::PrivateSetMembershipClientClass::registerProvider(clientClass);
    return clientClass;
  }

  void setUserData(const platform::Dictionary& userData) {
    engine()->setUserData(userData);
    drain();
  }

  size_t queryCount() {
    std::lock_guard<std::mutex> lock(serverMutex_);
    return queries_.size();
  }
  httplib::Params query(size_t index) {
    std::lock_guard<std::mutex> lock(serverMutex_);
    return queries_.at(index);
  }

  // Waits until count queries reached the server and the last reply was handled.
  void waitForQueries(size_t count) {
    ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() >= count && networkFree(); }, 10));
    drain();
  }
  bool networkFree() {
    bool free = false;
    onWorker([&] { free = !engine()->isNetworkRequestPending(); });
    return free;
  }

  std::vector<DULLogRecord> linesWithMonitorCode(int64_t code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    const std::string text = APMASLLogger::messageCodeText(code);
    std::lock_guard<std::mutex> lock(recordsMutex_);
    std::vector<DULLogRecord> lines;
    for (const auto& record : records_) {
      if (record.messageCode == text) lines.push_back(record);
    }
    return lines;
  }
  size_t logged(int64_t code) { return linesWithMonitorCode(code).size(); }
  void clearRecords() {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(recordsMutex_);
    records_.clear();
  }

  std::optional<platform::Dictionary> odmRow(const std::string& name) {
    std::optional<platform::Dictionary> row;
    onWorker([&] {
      platform::Error error;
      row = engine()->database()->ODMValueWithName(name, &error);
    });
    if (row && row->empty()) return std::nullopt;
    return row;
  }

  std::vector<Row> matchEvents(const std::string& source) {
    auto events = rowsNamed("_fx");
    std::erase_if(events, [&](const Row& row) { return row.text("_fxs") != source; });
    return events;
  }

  void setStoredProperty(const std::string& name, APMValue value, double lastSet) {
    onWorker([&] {
      platform::Error error;
      ASSERT_TRUE(engine()->database()->updateUserAttribute(APMUserAttribute("auto", name, value, lastSet), &error));
    });
  }

  void logPublicEvent() {
    engine()->logEventWithOrigin("app", true, "level_start", {}, platform::now(), true, false, false, nullptr, {});
    drain();
  }

  // The linked-client flags of the metadata stored with the last event.
  int32_t linkedClientFlagsOfLastEvent() {
    auto stored = rows();
    EXPECT_FALSE(stored.empty());
    if (stored.empty()) return -1;
    int32_t flags = -1;
    onWorker([&] {
      platform::Error error;
      auto metadata = engine()->database()->queryRawEventsMetadataWithFingerprint(stored.back().fingerprint, &error);
      ASSERT_TRUE(metadata) << error.description;
      ASSERT_TRUE(APMNanoHasField(*metadata, APMPBMeasurementBundle::kLinkedClientFlags));
      flags = APMNanoGetInt32(*metadata, APMPBMeasurementBundle::kLinkedClientFlags);
    });
    return flags;
  }

  // A successful configuration fetch that changed nothing, as its reply handler sees it.
  void completeFetch() {
    onWorker([&] { engine()->networkRemoteConfigFetchCompletionHandler(304, {}, {}, std::nullopt); });
    drain();
  }

  httplib::Server server_;
  std::thread serverThread_;
  std::string psmURL_;
  std::mutex serverMutex_;
  std::vector<httplib::Params> queries_;
  std::function<std::future<std::pair<int, std::string>>()> nextReply_ = [] {
    std::promise<std::pair<int, std::string>> promise;
    promise.set_value({200, ""});
    return promise.get_future();
  };
  std::mutex recordsMutex_;
  std::vector<DULLogRecord> records_;
};

std::string param(const httplib::Params& params, const std::string& key) {
  auto found = params.find(key);
  return found == params.end() ? "<absent>" : found->second;
}

TEST_F(OnDeviceConversionTest, WithoutLinkedComponentsTheStartLogsAnInitiationIsRefusedAndNoFlagIsSet) {
  start();
  EXPECT_EQ(logged(23279), 1u);
  EXPECT_EQ(logged(23253), 0u);
  EXPECT_EQ(logged(23278), 0u);
  setUserData({{"email_address", platform::Object("person@example.com")}});
  EXPECT_EQ(logged(23233), 1u);
  EXPECT_EQ(logged(23225), 0u);
  EXPECT_EQ(queryCount(), 0u);
  EXPECT_FALSE(userProperty("_psmcount"));

  logPublicEvent();
  EXPECT_EQ(linkedClientFlagsOfLastEvent() & 14, 0);
}

TEST_F(OnDeviceConversionTest, UserDataMakesOneClientFromTheFirstUsableIdentifier) {
  linkClientClass({}, false);
  start();
  EXPECT_EQ(logged(23253), 1u);
  applyConfig({{"measurement.psm_start_count", "10"}});
  const platform::Data hashedEmail(32, 0xAB), hashedPhone(32, 0xCD);
  const std::string hashedPhoneText(hashedPhone.begin(), hashedPhone.end());
  const struct {
    const char* what;
    std::set<Kind> supported;
    platform::Dictionary userData;
    std::vector<int64_t> refusals;
    std::optional<Kind> madeKind;
    std::string identifier;
    int64_t prefixBitLength;
  } cases[] = {
      {"e-mail before phone", {Kind::EmailAddress, Kind::PhoneNumber},
       {{"email_address", platform::Object("a@example.com")}, {"phone_number", platform::Object("+15550100")}},
       {}, Kind::EmailAddress, "a@example.com", 14},
      {"an empty e-mail gives way to the phone", {Kind::EmailAddress, Kind::PhoneNumber},
       {{"email_address", platform::Object("")}, {"phone_number", platform::Object("+15550100")}},
       {23234}, Kind::PhoneNumber, "+15550100", 11},
      {"an empty phone number", {Kind::PhoneNumber}, {{"phone_number", platform::Object("")}}, {23239}, {}, "", 0},
      {"no phone support", {Kind::EmailAddress}, {{"phone_number", platform::Object("+15550100")}}, {23262}, {}, "", 0},
      {"an empty hashed identifier", {Kind::HashedEmailAddress}, {{"hashed_email_address", platform::Object(platform::Data{})}},
       {23264}, {}, "", 0},
      {"no hashed support", {Kind::EmailAddress, Kind::PhoneNumber},
       {{"hashed_phone_number", platform::Object(hashedPhone)}}, {23265}, {}, "", 0},
      {"hashed e-mail unsupported, hashed phone used", {Kind::HashedPhoneNumber},
       {{"hashed_email_address", platform::Object(hashedEmail)}, {"hashed_phone_number", platform::Object(hashedPhone)}},
       {}, Kind::HashedPhoneNumber, hashedPhoneText, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto clientClass = std::make_shared<FakePSMClientClass>(FakePSMClient::Setup{}, c.supported);
    platform::PrivateSetMembershipClientClass::registerProvider(clientClass);
    clearRecords();
    setUserData(c.userData);
    for (int64_t code : {23234, 23239, 23262, 23264, 23265}) {
      const bool expected = std::find(c.refusals.begin(), c.refusals.end(), code) != c.refusals.end();
      EXPECT_EQ(logged(code), expected ? 1u : 0u) << code;
    }
    auto made = clientClass->made();
    ASSERT_EQ(made.size(), c.madeKind ? 1u : 0u);
    EXPECT_EQ(logged(23225), made.size());
    if (!c.madeKind) continue;
    EXPECT_EQ(made[0].kind, *c.madeKind);
    EXPECT_EQ(made[0].identifier, c.identifier);
    EXPECT_EQ(made[0].appID, "com.example.host");
    EXPECT_EQ(made[0].prefixBitLength, c.prefixBitLength);
    EXPECT_EQ(logged(23227), 1u) << "a client naming no URL sends nothing";
  }
}

TEST_F(OnDeviceConversionTest, AMatchIsStoredAnnouncedAndCountedAndEndsFurtherInitiations) {
  auto clientClass = linkClientClass();
  start();
  answerQueries(200, "match-7");
  setUserData({{"email_address", platform::Object("person@example.com")}});
  waitForQueries(1);

  EXPECT_EQ(logged(23225), 1u);
  EXPECT_EQ(logged(23229), 1u);
  EXPECT_EQ(param(query(0), "psm_count"), "0");
  // The first open at the start time, a whole hour, moves to the next whole minute.
  EXPECT_EQ(param(query(0), "timestamp_first_open"), std::to_string(static_cast<int64_t>(kStartTime) + 60));
  EXPECT_EQ(param(query(0), "debug_psm_key"), "<absent>");
  auto row = odmRow("odm1_value");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["value"], platform::Object("match-7"));
  EXPECT_DOUBLE_EQ((*row)["set_timestamp"].doubleValue(), kStartTime);
  auto value = userProperty("_psmvalue");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->value().stringValue(), "match-7");
  EXPECT_EQ(value->origin(), "auto");
  auto counter = userProperty("_psmcount");
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->value().int64Value(), 1);
  auto events = matchEvents("psm");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].integer("_r"), 1) << "real-time";
  EXPECT_TRUE(networkFree());

  setUserData({{"email_address", platform::Object("person@example.com")}});
  EXPECT_EQ(logged(23237), 1u);
  EXPECT_EQ(queryCount(), 1u);
  EXPECT_EQ(clientClass->made().size(), 1u);
}

TEST_F(OnDeviceConversionTest, QueriesWithoutAMatchCountPerInputKindUntilTheStartLimit) {
  FakePSMClient::Setup setup;
  setup.url = psmURL_;
  setup.inputType = 2;
  platform::PrivateSetMembershipClientClass::registerProvider(std::make_shared<FakePSMClientClass>(setup));
  start();
  answerQueries(204, "");
  for (size_t i = 1; i <= 3; ++i) {
    setUserData({{"phone_number", platform::Object("+15550100")}});
    waitForQueries(i);
    EXPECT_EQ(param(query(i - 1), "psm_phone_count"), std::to_string(i - 1));
  }
  EXPECT_EQ(logged(23230), 3u);
  EXPECT_EQ(userProperty("_psmcountph")->value().int64Value(), 3);
  EXPECT_FALSE(userProperty("_psmcount"));
  EXPECT_FALSE(odmRow("odm1_value"));

  setUserData({{"phone_number", platform::Object("+15550100")}});
  EXPECT_EQ(logged(23236), 1u);
  EXPECT_EQ(queryCount(), 3u);
}

TEST_F(OnDeviceConversionTest, FailedQueriesAreRetriedAtDoublingDelaysUntilTheRetryLimit) {
  auto clientClass = linkClientClass();
  start();
  applyConfig({{"measurement.psm_retry_count", "3"}});
  answerQueries(500, "");
  setUserData({{"email_address", platform::Object("person@example.com")}});
  waitForQueries(1);
  EXPECT_EQ(logged(23228), 1u);

  for (double delay : {300.0, 600.0}) {
    const size_t before = queryCount();
    clock_->advance(delay - 1);
    drain();
    EXPECT_TRUE(networkFree()) << "no retry before " << delay << " s";
    EXPECT_EQ(queryCount(), before);
    clock_->advance(1);
    waitForQueries(before + 1);
  }
  EXPECT_EQ(logged(23228), 3u);
  EXPECT_EQ(logged(23231), 1u);
  clock_->advance(3600);
  drain();
  EXPECT_EQ(queryCount(), 3u);
  EXPECT_EQ(clientClass->lastClient()->retryCounts(), (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(userProperty("_psmcount")->value().int64Value(), 3);

  setUserData({{"email_address", platform::Object("person@example.com")}});
  EXPECT_EQ(logged(23238), 1u) << "the retries of this run are used up";
}

TEST_F(OnDeviceConversionTest, AQueryWaitsForABusyNetworkAndIsResumedAfterAFetchOrAnUpload) {
  linkClientClass();
  start();
  answerQueries(200, "");
  onWorker([&] { engine()->setIsNetworkRequestPending(true); });
  setUserData({{"email_address", platform::Object("person@example.com")}});
  EXPECT_EQ(logged(23232), 1u);
  completeFetch();
  EXPECT_EQ(queryCount(), 0u) << "the network is still taken";

  onWorker([&] { engine()->setIsNetworkRequestPending(false); });
  completeFetch();
  waitForQueries(1);

  // The upload road's turn: it takes the postponed query once.
  onWorker([&] { engine()->setIsNetworkRequestPending(true); });
  setUserData({{"email_address", platform::Object("person@example.com")}});
  onWorker([&] { engine()->setIsNetworkRequestPending(false); });
  auto parts = APMMeasurement::componentsSnapshot();
  bool first = false, second = true;
  onWorker([&] {
    first = parts->takePostponedPSMRequest();
    second = parts->takePostponedPSMRequest();
    parts->retrievePSMResponse();
  });
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  waitForQueries(2);
}

TEST_F(OnDeviceConversionTest, AQueryOnTheNetworkRefusesAnotherAndIsForgottenAfterAWipe) {
  linkClientClass();
  start();
  std::promise<std::pair<int, std::string>> held;
  {
    std::lock_guard<std::mutex> lock(serverMutex_);
    nextReply_ = [&held] { return held.get_future(); };
  }
  setUserData({{"email_address", platform::Object("person@example.com")}});
  ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() == 1; }));
  setUserData({{"phone_number", platform::Object("+15550100")}});
  EXPECT_EQ(logged(23235), 1u);

  ASSERT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID("after-wipe"));
  answerQueries(200, "match-late");
  held.set_value({200, "match-late"});
  ASSERT_TRUE(testsupport::waitFor([&] { return networkFree(); }));
  drain();
  EXPECT_FALSE(odmRow("odm1_value"));
  EXPECT_FALSE(userProperty("_psmvalue"));
  EXPECT_FALSE(userProperty("_psmcount"));
  EXPECT_TRUE(matchEvents("psm").empty());

  setUserData({{"email_address", platform::Object("person@example.com")}});
  waitForQueries(2);
  EXPECT_TRUE(userProperty("_psmvalue"));
}

TEST_F(OnDeviceConversionTest, AQueryAnsweredAfterCollectionWasSwitchedOffStillCountsAndKeepsItsMatch) {
  linkClientClass();
  start();
  std::promise<std::pair<int, std::string>> held;
  {
    std::lock_guard<std::mutex> lock(serverMutex_);
    nextReply_ = [&held] { return held.get_future(); };
  }
  setUserData({{"email_address", platform::Object("person@example.com")}});
  ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() == 1; }));
  engine()->setEnabled(false);
  drain();
  held.set_value({200, "match-3"});
  ASSERT_TRUE(testsupport::waitFor([&] { return networkFree(); }));
  drain();
  ASSERT_TRUE(userProperty("_psmcount"));
  EXPECT_EQ(userProperty("_psmcount")->value().int64Value(), 1);
  ASSERT_TRUE(userProperty("_psmvalue"));
  EXPECT_EQ(userProperty("_psmvalue")->value().stringValue(), "match-3");
  EXPECT_TRUE(odmRow("odm1_value"));
}

TEST_F(OnDeviceConversionTest, ADebugKeyTravelsOnlyWhenTheLaunchArgumentAndDebugOrVerboseLoggingAskForIt) {
  FakePSMClient::Setup setup;
  setup.url = psmURL_;
  setup.payload.clear();  // the client stays in place, its query unsent
  setup.debugKey = "dk-1";
  platform::PrivateSetMembershipClientClass::registerProvider(std::make_shared<FakePSMClientClass>(setup));
  start();
  const struct {
    bool argument, debug, verbose;
    std::optional<std::string> expected;
  } cases[] = {{true, true, false, "dk-1"}, {true, false, true, "dk-1"}, {true, false, false, {}}, {false, true, true, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.argument << c.debug << c.verbose);
    std::vector<std::string> arguments{"host"};
    if (c.argument) arguments.push_back("-DebugOnDeviceConversionMeasurement");
    platform::ProcessInfo::setArguments(arguments);
    APMMonitor::shared()->setDebugModeEnabled(c.debug);
    APMMonitor::shared()->setVerboseLoggingEnabled(c.verbose);
    auto reporter = std::make_shared<APMOnDeviceConversionReporter>(engine());
    std::optional<platform::URL> url;
    onWorker([&] {
      reporter->checkPSMDependencyOnWorkerQueue();
      reporter->initiateODM1ProtocolWithUserData({{"email_address", platform::Object("person@example.com")}});
      url = reporter->PSMRequestURL();
    });
    ASSERT_TRUE(url);
    std::optional<std::string> debugKey;
    for (const auto& item : url->queryItems()) {
      if (item.name == "debug_psm_key") debugKey = item.value;
    }
    EXPECT_EQ(debugKey, c.expected);
  }
  APMMonitor::shared()->setDebugModeEnabled(false);
  APMMonitor::shared()->setVerboseLoggingEnabled(false);
  platform::ProcessInfo::setArguments({});
}

TEST_F(OnDeviceConversionTest, StoredMatchesExpireAfterNinetyDays) {
  linkClientClass();
  start();
  const double now = kStartTime;
  const struct {
    const char* what;
    std::optional<double> rowSet, propertySet;
    bool rowLeft, propertyLeft, countersLeft;
    std::optional<double> rowTimeAfter;
  } cases[] = {
      {"both old", now - 91 * kDay, now - 91 * kDay, false, false, false, {}},
      {"a property set in the future as far", {}, now + 90 * kDay, false, false, false, {}},
      {"a young property rebuilds its row", {}, now - 89 * kDay, true, true, true, now - 89 * kDay},
      {"an old row beside a young property", now - 90 * kDay, now - 10 * kDay, false, true, true, {}},
      {"a young row alone", now - 5 * kDay, {}, true, false, true, now - 5 * kDay},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] {
      platform::Error error;
      engine()->database()->deleteODMValueWithName("odm1_value", &error);
      if (c.rowSet) {
        ASSERT_TRUE(engine()->database()->updateODMValue("m-1", "odm1_value", *c.rowSet, &error));
      }
      engine()->database()->deleteUserAttributeWithName("_psmvalue", &error);
    });
    if (c.propertySet) setStoredProperty("_psmvalue", APMValue("m-1"), *c.propertySet);
    for (const char* counter : {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"}) {
      setStoredProperty(counter, APMValue(static_cast<int64_t>(2)), now - 100 * kDay);
    }
    auto reporter = std::make_shared<APMOnDeviceConversionReporter>(engine());
    onWorker([&] { reporter->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
    auto row = odmRow("odm1_value");
    EXPECT_EQ(row.has_value(), c.rowLeft);
    if (row && c.rowTimeAfter) {
      EXPECT_EQ((*row)["value"], platform::Object("m-1"));
      EXPECT_DOUBLE_EQ((*row)["set_timestamp"].doubleValue(), *c.rowTimeAfter);
    }
    EXPECT_EQ(userProperty("_psmvalue") != nullptr, c.propertyLeft);
    for (const char* counter : {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"}) {
      EXPECT_EQ(userProperty(counter) != nullptr, c.countersLeft) << counter;
    }
  }
}

TEST_F(OnDeviceConversionTest, ConversionServiceAnswersAfterAFetchAreKeptOnceAndAnEmptyAnswerRemovesThem) {
  auto service = std::make_shared<FakeConversionService>(20001);
  platform::ConversionService::registerProvider(service);
  start();
  EXPECT_EQ(logged(23278), 1u);
  applyConfig({{"measurement.odm2_enabled", "1"}});
  platform::Error failure;
  failure.domain = "test";
  failure.code = 7;
  const struct {
    const char* what;
    FakeConversionService::Answer answer;
    std::optional<std::string> stored;
    size_t events;
    int64_t code;
  } steps[] = {
      {"a first value", {std::string("zads-1"), {}}, "zads-1", 1, 23277},
      {"the same value again", {std::string("zads-1"), {}}, "zads-1", 1, 23282},
      {"an error changes nothing", {std::nullopt, failure}, "zads-1", 1, 23269},
      {"a new value", {std::string("zads-2"), {}}, "zads-2", 2, 23277},
      {"an empty value", {std::string(""), {}}, std::nullopt, 2, 23281},
      {"no value", {std::nullopt, {}}, std::nullopt, 2, 23281},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    clearRecords();
    service->answerNext(step.answer);
    completeFetch();
    EXPECT_EQ(logged(step.code), 1u);
    auto property = userProperty("_psmvalue_zads");
    auto row = odmRow("odm2_value");
    ASSERT_EQ(property != nullptr, step.stored.has_value());
    ASSERT_EQ(row.has_value(), step.stored.has_value());
    if (step.stored) {
      EXPECT_EQ(property->value().stringValue(), *step.stored);
      EXPECT_EQ((*row)["value"], platform::Object(*step.stored));
    }
    EXPECT_EQ(matchEvents("psm_zads").size(), step.events);
  }
  EXPECT_EQ(service->interactions(), std::vector<int64_t>(6, 0));
  auto launches = service->firstLaunchTimes();
  ASSERT_FALSE(launches.empty());
  ASSERT_TRUE(launches.back());
  EXPECT_DOUBLE_EQ(launches.back()->seconds, kStartTime);
}

TEST_F(OnDeviceConversionTest, TheConversionServiceIsAskedOnlyWhenConfiguredAndConsented) {
  auto service = std::make_shared<FakeConversionService>(20001);
  platform::ConversionService::registerProvider(service);
  start();
  setStoredProperty("_psmvalue_zads", APMValue("zads-0"), kStartTime);
  completeFetch();
  EXPECT_EQ(logged(23275), 1u);
  EXPECT_FALSE(userProperty("_psmvalue_zads")) << "a disabled service's value is removed";

  applyConfig({{"measurement.odm2_enabled", "1"}});
  APMConsentSettingsUtil::updateSettings({{"ad_storage", platform::Object("denied")}});
  ASSERT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  completeFetch();
  EXPECT_EQ(logged(23276), 1u);
  EXPECT_TRUE(service->interactions().empty());
}

TEST_F(OnDeviceConversionTest, LinkedComponentsSetTheirFlagsAndBothGenerationsTogetherRefuseTheFirstProtocol) {
  start();
  const struct {
    const char* what;
    bool clientClass, clientUnderOlderName;
    std::optional<int64_t> serviceVersion;
    int32_t flags;
    std::vector<int64_t> codes;
    bool refused;
  } cases[] = {
      {"nothing", false, false, {}, 0, {23279}, false},
      {"the client class", true, false, {}, 2, {23253, 23279, 23292}, false},
      {"the client class under its older name", false, true, {}, 0, {23253, 23279}, false},
      {"an alpha service", false, false, 10000, 4, {23278}, false},
      {"a newer service", false, false, 10001, 8, {23278}, false},
      {"a newer service and the client class", true, false, 10001, 10, {23253, 23284, 23278}, true},
      {"an alpha service and the client class", true, false, 10000, 6, {23253, 23278}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ClassRegistry::reset();
    if (c.clientClass) platform::PrivateSetMembershipClientClass::registerProvider(std::make_shared<FakePSMClientClass>());
    if (c.clientUnderOlderName) {
      platform::ClassRegistry::registerInstance<platform::PrivateSetMembershipClientClass>(
          platform::PrivateSetMembershipClientClass::kAlternativeClassName, std::make_shared<FakePSMClientClass>());
    }
    if (c.serviceVersion) platform::ConversionService::registerProvider(std::make_shared<FakeConversionService>(*c.serviceVersion));
    clearRecords();
    auto reporter = std::make_shared<APMOnDeviceConversionReporter>(engine());
    onWorker([&] {
      reporter->checkPSMDependencyOnWorkerQueue();
      reporter->checkODM2DependencyOnWorkerQueue();
    });
    for (int64_t code : {23253, 23278, 23279, 23284, 23292}) {
      const bool expected = std::find(c.codes.begin(), c.codes.end(), code) != c.codes.end();
      EXPECT_EQ(logged(code), expected ? 1u : 0u) << code;
    }
    EXPECT_EQ(reporter->isODM1Refused(), c.refused);
    if (c.refused) {
      EXPECT_EQ(linesWithMonitorCode(23284)[0].level, DULLoggerLevelError);
      onWorker([&] { reporter->initiateODM1ProtocolWithUserData({{"email_address", platform::Object("a@b.c")}}); });
      EXPECT_EQ(logged(23285), 1u);
      EXPECT_EQ(logged(23225), 0u);
      onWorker([&] { reporter->resetODM1Context(); });
      EXPECT_FALSE(reporter->ODM1Context()) << "a wipe keeps the refusal";
    }
    logPublicEvent();
    EXPECT_EQ(linkedClientFlagsOfLastEvent() & 14, c.flags);
  }
}

}  // namespace
}  // namespace fronttest
