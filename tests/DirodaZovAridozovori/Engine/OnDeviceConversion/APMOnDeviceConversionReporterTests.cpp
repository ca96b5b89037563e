// On-device conversion measurement on a running engine: the start-up checks, which identifier
// makes the query client, queries to a server on 127.0.0.1 (counters, match, retries,
// postponement, wipe), the expiry of old values, the conversion service's answers after a fetch,
// and the linked-component flags of the bundle metadata.
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <thread>

#include "../Front/FrontTestFixture.h"
#include "APMASLLogger.h"
#include "Logger/DULLogger.h"
#include "../FakeEngineContext.h"
#include "APMEngineUserProperties.h"
#include "Fetch/APMEngineFetch.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "OnDeviceConversionTestDoubles.h"
#include "platform/Http.h"
#include "platform/ProcessInfo.h"

namespace fronttest {
namespace {

using namespace odmtest;
constexpr double kDay = 86400;
const platform::Dictionary kEmail{{"email_address", platform::Object("person@example.com")}};

class OnDeviceConversionTest : public FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    DULLoggerSetLevel(DULLoggerLevel::kDebug);
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(recordsMutex_);
      records_.push_back(record);
    });
    // The engine's own uploads and fetches stay off the network; queries still go out.
    platform::Reachability::setReachable(false);
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<APMOnDeviceConversionReporter>()};
    });
    server_.Post("/psm", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock<std::mutex> lock(serverMutex_);
      queries_.push_back(request.params);
      released_.wait(lock, [this] { return !holding_; });
      response.status = status_;
      response.set_content(body_, "text/plain");
    });
    // The transport keeps its connections open: close idle ones at once, or stopping waits them out.
    server_.set_keep_alive_timeout(0);
    const int port = server_.bind_to_any_port("127.0.0.1");
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    psmURL_ = "http://127.0.0.1:" + std::to_string(port) + "/psm";
  }

  void TearDown() override {
    answer(200, "");
    FakeClockFrontTest::TearDown();
    server_.stop();
    serverThread_.join();
    DULLoggerSetSink(nullptr);
    DULLoggerResetForTesting();
    platform::Reachability::reset();
  }

  // Queries are answered with this (and those held until now are let go).
  void answer(int status, std::string body) {
    std::lock_guard<std::mutex> lock(serverMutex_);
    status_ = status;
    body_ = std::move(body);
    holding_ = false;
    released_.notify_all();
  }
  void holdAnswers() {
    std::lock_guard<std::mutex> lock(serverMutex_);
    holding_ = true;
  }
  size_t queryCount() {
    std::lock_guard<std::mutex> lock(serverMutex_);
    return queries_.size();
  }
  std::string queryParameter(size_t index, const std::string& key) {
    std::lock_guard<std::mutex> lock(serverMutex_);
    auto found = queries_.at(index).find(key);
    return found == queries_.at(index).end() ? "<absent>" : found->second;
  }

  std::shared_ptr<FakePSMClientClass> linkClientClass(ClientSetup setup = {}) {
    if (!setup.url) setup.url = psmURL_;
    auto clientClass = std::make_shared<FakePSMClientClass>(setup);
    platform::PrivateSetMembershipClientClass::registerProvider(clientClass);
    return clientClass;
  }
  // A reporter of its own over the running engine, beside the one the engine was made with.
  std::shared_ptr<APMOnDeviceConversionReporter> newReporter() {
    auto reporter = std::make_shared<APMOnDeviceConversionReporter>();
    reporter->attachToEngine(engine()->components().context());
    return reporter;
  }
  void setUserData(const platform::Dictionary& userData) {
    engine()->userProperties().setUserData(userData);
    drain();
  }
  bool networkFree() {
    bool free = false;
    onWorker([&] { free = !engine()->fetch().isNetworkRequestPending(); });
    return free;
  }
  // Waits until count queries reached the server and the last reply was handled.
  void waitForQueries(size_t count) {
    ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() >= count && networkFree(); }, 10));
    drain();
  }
  void setNetworkPending(bool pending) {
    onWorker([&] { engine()->fetch().setIsNetworkRequestPending(pending); });
  }
  // A successful configuration fetch that changed nothing, as its reply handler sees it.
  void completeFetch() {
    onWorker([&] { engine()->fetch().networkRemoteConfigFetchCompletionHandler(304, {}, {}, std::nullopt); });
    drain();
  }

  std::vector<DULLogRecord> linesWithCode(int64_t code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(recordsMutex_);
    std::vector<DULLogRecord> lines;
    for (const auto& record : records_) {
      if (record.messageCode == APMASLLogger::messageCodeText(code)) lines.push_back(record);
    }
    return lines;
  }
  size_t logged(int64_t code) { return linesWithCode(code).size(); }
  // Exactly the listed codes of watched are logged, once each.
  void expectLoggedOnly(std::initializer_list<int64_t> watched, const std::vector<int64_t>& expected) {
    for (int64_t code : watched) {
      EXPECT_EQ(logged(code), std::count(expected.begin(), expected.end(), code) ? 1u : 0u) << code;
    }
  }
  void clearRecords() {
    linesWithCode(0);
    std::lock_guard<std::mutex> lock(recordsMutex_);
    records_.clear();
  }

  std::optional<platform::Dictionary> odmRow(const std::string& name) {
    std::optional<platform::Dictionary> row;
    onWorker([&] { row = engine()->database()->onDeviceValues().ODMValueWithName(name, nullptr); });
    return row && !row->empty() ? row : std::nullopt;
  }
  std::string propertyText(const std::string& name) {
    auto property = userProperty(name);
    if (!property) return "<absent>";
    return property->value().isString() ? property->value().stringValue() : property->value().description();
  }
  size_t matchEvents(const std::string& source) {
    auto events = rowsNamed("_fx");
    return std::count_if(events.begin(), events.end(), [&](const Row& row) {
      return row.text("_fxs") == source && row.integer("_r") == 1 && row.origin == "auto";
    });
  }
  void setStoredProperty(const std::string& name, APMValue value, double lastSet) {
    onWorker([&] {
      ASSERT_TRUE(engine()->database()->userProperties().updateUserAttribute(
          APMUserAttribute("auto", name, value, lastSet), nullptr));
    });
  }
  // The linked-client flags of the metadata stored with a new event.
  int32_t linkedClientFlags() {
    engine()->eventRoad().logEventWithOrigin("app", true, "level_start", {}, platform::now(), {}, nullptr, {});
    auto stored = rows();
    int32_t flags = -1;
    onWorker([&] {
      auto metadata =
          engine()->database()->rawEvents().queryRawEventsMetadataWithFingerprint(stored.back().fingerprint, nullptr);
      ASSERT_TRUE(metadata);
      flags = APMNanoGetInt32(*metadata, APMPBMeasurementBundle::kLinkedClientFlags);
    });
    return flags;
  }

  httplib::Server server_;
  std::thread serverThread_;
  std::string psmURL_;
  std::mutex serverMutex_;
  std::condition_variable released_;
  bool holding_ = false;
  int status_ = 200;
  std::string body_;
  std::vector<httplib::Params> queries_;
  std::mutex recordsMutex_;
  std::vector<DULLogRecord> records_;
};

TEST_F(OnDeviceConversionTest, WithoutLinkedComponentsTheStartLogsAnInitiationIsRefusedAndNoFlagIsSet) {
  start();
  expectLoggedOnly({23253, 23278, 23279}, {23279});
  setUserData(kEmail);
  expectLoggedOnly({23225, 23233}, {23233});
  EXPECT_EQ(queryCount(), 0u);
  EXPECT_EQ(propertyText("_psmcount"), "<absent>");
  EXPECT_EQ(linkedClientFlags() & 14, 0);
}

TEST_F(OnDeviceConversionTest, UserDataMakesOneClientFromTheFirstUsableIdentifier) {
  linkClientClass();
  start();
  const platform::Data hashedEmail(32, 0xAB), hashedPhone(32, 0xCD);
  const struct {
    const char* what;
    std::set<Kind> supported;
    platform::Dictionary userData;
    std::vector<int64_t> refusals;
    std::optional<Kind> kind;
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
      {"an empty hashed identifier", {Kind::HashedEmailAddress},
       {{"hashed_email_address", platform::Object(platform::Data{})}}, {23264}, {}, "", 0},
      {"no hashed support", {Kind::EmailAddress}, {{"hashed_phone_number", platform::Object(hashedPhone)}}, {23265},
       {}, "", 0},
      {"hashed e-mail unsupported, hashed phone used", {Kind::HashedPhoneNumber},
       {{"hashed_email_address", platform::Object(hashedEmail)}, {"hashed_phone_number", platform::Object(hashedPhone)}},
       {}, Kind::HashedPhoneNumber, std::string(32, '\xCD'), 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A client naming no URL sends nothing, so the start count of the run is not a limit here.
    auto clientClass = std::make_shared<FakePSMClientClass>(ClientSetup{}, c.supported);
    platform::PrivateSetMembershipClientClass::registerProvider(clientClass);
    clearRecords();
    setUserData(c.userData);
    expectLoggedOnly({23234, 23239, 23262, 23264, 23265}, c.refusals);
    auto made = clientClass->made();
    ASSERT_EQ(made.size(), c.kind ? 1u : 0u);
    EXPECT_EQ(logged(23225), made.size());
    if (!c.kind) continue;
    EXPECT_EQ(made[0].kind, *c.kind);
    EXPECT_EQ(made[0].identifier, c.identifier);
    EXPECT_EQ(made[0].appID, "com.example.host");
    EXPECT_EQ(made[0].prefixBitLength, c.prefixBitLength);
    EXPECT_EQ(logged(23227), 1u);
  }
}

TEST_F(OnDeviceConversionTest, AMatchIsStoredAnnouncedAndCountedAndEndsFurtherInitiations) {
  auto clientClass = linkClientClass();
  start();
  answer(200, "match-7");
  setUserData(kEmail);
  waitForQueries(1);
  expectLoggedOnly({23225, 23229, 23230}, {23225, 23229});
  EXPECT_EQ(queryParameter(0, "psm_count"), "0");
  // The first open at the start time, a whole hour, moves to the next whole minute.
  EXPECT_EQ(queryParameter(0, "timestamp_first_open"), std::to_string(static_cast<int64_t>(kStartTime) + 60));
  auto row = odmRow("odm1_value");
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["value"], platform::Object("match-7"));
  EXPECT_DOUBLE_EQ((*row)["set_timestamp"].doubleValue(), kStartTime);
  EXPECT_EQ(propertyText("_psmvalue"), "match-7");
  EXPECT_EQ(propertyText("_psmcount"), "1");
  EXPECT_EQ(matchEvents("psm"), 1u);

  setUserData(kEmail);
  EXPECT_EQ(logged(23237), 1u);
  EXPECT_EQ(clientClass->made().size(), 1u);
  EXPECT_EQ(queryCount(), 1u);
}

TEST_F(OnDeviceConversionTest, QueriesWithoutAMatchCountPerInputKindUntilTheStartLimit) {
  linkClientClass({2});
  start();
  answer(204, "");
  for (size_t i = 0; i < 3; ++i) {
    setUserData({{"phone_number", platform::Object("+15550100")}});
    waitForQueries(i + 1);
    EXPECT_EQ(queryParameter(i, "psm_phone_count"), std::to_string(i));
  }
  EXPECT_EQ(logged(23230), 3u);
  EXPECT_EQ(propertyText("_psmcountph"), "3");
  EXPECT_EQ(propertyText("_psmcount"), "<absent>");
  EXPECT_FALSE(odmRow("odm1_value"));
  setUserData({{"phone_number", platform::Object("+15550100")}});
  EXPECT_EQ(logged(23236), 1u);
  EXPECT_EQ(queryCount(), 3u);
}

TEST_F(OnDeviceConversionTest, AStoredCounterCountsOnFromAWholeNumberAndStaysAtTheLargest) {
  linkClientClass();
  start();
  answer(204, "");
  struct Case {
    const char* name;
    APMValue stored;
    const char* sent;
    const char* after;
  };
  const Case cases[] = {
      {"a whole double", APMValue(2.0), "2", "3"},
      {"a double past the exact integers", APMValue(9007199254740992.0), "0", "1"},
      {"the largest integer", APMValue(int64_t{9223372036854775807}), "9223372036854775807", "9223372036854775807"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    setStoredProperty("_psmcount", c.stored, kStartTime);
    setUserData(kEmail);
    waitForQueries(i + 1);
    EXPECT_EQ(queryParameter(i, "psm_count"), c.sent) << c.name;
    EXPECT_EQ(propertyText("_psmcount"), c.after) << c.name;
  }
}

TEST_F(OnDeviceConversionTest, FailedQueriesAreRetriedAtDoublingDelaysUntilTheRetryLimit) {
  auto clientClass = linkClientClass();
  start();
  applyConfig({{"measurement.psm_retry_count", "3"}});
  answer(500, "");
  setUserData(kEmail);
  waitForQueries(1);
  for (double delay : {300.0, 600.0}) {
    const size_t before = queryCount();
    clock_->advance(delay - 1);
    drain();
    EXPECT_TRUE(networkFree()) << "no retry before " << delay << " s";
    clock_->advance(1);
    waitForQueries(before + 1);
  }
  EXPECT_EQ(logged(23228), 3u);
  EXPECT_EQ(logged(23231), 1u);
  clock_->advance(3600);
  drain();
  EXPECT_EQ(queryCount(), 3u);
  EXPECT_EQ(clientClass->made().back().client->retryCounts(), (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(propertyText("_psmcount"), "3");
  setUserData(kEmail);
  EXPECT_EQ(logged(23238), 1u) << "the retries of this run are used up";
}

TEST_F(OnDeviceConversionTest, AQueryWaitsForABusyNetworkAndIsResumedAfterAFetchOrAnUpload) {
  linkClientClass();
  start();
  setNetworkPending(true);
  setUserData(kEmail);
  EXPECT_EQ(logged(23232), 1u);
  completeFetch();
  EXPECT_EQ(queryCount(), 0u) << "the network is still taken";
  setNetworkPending(false);
  completeFetch();
  waitForQueries(1);

  // The upload road takes a postponed query once.
  setNetworkPending(true);
  setUserData(kEmail);
  setNetworkPending(false);
  auto reporter = std::dynamic_pointer_cast<APMOnDeviceConversionReporter>(engine()->components().list().at(0));
  ASSERT_TRUE(reporter);
  bool first = false, second = true;
  onWorker([&] {
    first = reporter->takePostponedPSMRequest();
    second = reporter->takePostponedPSMRequest();
    reporter->retrievePSMResponse();
  });
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  waitForQueries(2);
}

TEST_F(OnDeviceConversionTest, AnAnswerAfterAWipeIsDroppedAndOneAfterCollectionWasSwitchedOffIsKept) {
  linkClientClass();
  start();
  holdAnswers();
  setUserData(kEmail);
  ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() == 1; }));
  setUserData({{"phone_number", platform::Object("+15550100")}});
  EXPECT_EQ(logged(23235), 1u);
  ASSERT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID("after-wipe"));
  answer(200, "match-late");
  waitForQueries(1);
  EXPECT_FALSE(odmRow("odm1_value"));
  EXPECT_EQ(propertyText("_psmvalue"), "<absent>");
  EXPECT_EQ(propertyText("_psmcount"), "<absent>");

  holdAnswers();
  setUserData(kEmail);
  ASSERT_TRUE(testsupport::waitFor([&] { return queryCount() == 2; }));
  engine()->collection().setEnabled(false);
  drain();
  answer(200, "match-3");
  waitForQueries(2);
  EXPECT_EQ(propertyText("_psmcount"), "1");
  EXPECT_EQ(propertyText("_psmvalue"), "match-3");
  EXPECT_TRUE(odmRow("odm1_value"));
}

TEST_F(OnDeviceConversionTest, ADebugKeyTravelsOnlyWithTheLaunchArgumentAndDebugOrVerboseLogging) {
  linkClientClass({1, {}, psmURL_, "dk-1"});  // no payload: the client stays, its query unsent
  start();
  const struct {
    bool argument, debug, verbose;
    std::optional<std::string> expected;
  } cases[] = {{true, true, false, "dk-1"}, {true, false, true, "dk-1"}, {true, false, false, {}}, {false, true, true, {}}};
  for (const auto& c : cases) {
    platform::ProcessInfo::setArguments(c.argument ? std::vector<std::string>{"host", "-DebugOnDeviceConversionMeasurement"}
                                                   : std::vector<std::string>{"host"});
    APMMonitor::shared()->setDebugModeEnabled(c.debug);
    APMMonitor::shared()->setVerboseLoggingEnabled(c.verbose);
    auto reporter = newReporter();
    std::optional<platform::URL> url;
    onWorker([&] {
      reporter->checkPSMDependencyOnWorkerQueue();
      reporter->initiateODM1ProtocolWithUserData(kEmail);
      url = reporter->PSMRequestURL();
    });
    ASSERT_TRUE(url);
    std::optional<std::string> debugKey;
    for (const auto& item : url->queryItems()) {
      if (item.name == "debug_psm_key") debugKey = item.value;
    }
    EXPECT_EQ(debugKey, c.expected) << c.argument << c.debug << c.verbose;
  }
  APMMonitor::shared()->setDebugModeEnabled(false);
}

TEST_F(OnDeviceConversionTest, StoredMatchesExpireAfterNinetyDays) {
  linkClientClass();
  start();
  const double now = kStartTime;
  const char* counters[] = {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};
  const struct {
    const char* what;
    std::optional<double> rowSet, propertySet;
    bool rowLeft, propertyLeft, countersLeft;
    double rowTimeAfter;
  } cases[] = {
      {"both old", now - 91 * kDay, now - 91 * kDay, false, false, false, 0},
      {"a property set in the future as far", {}, now + 90 * kDay, false, false, false, 0},
      {"a young property rebuilds its row", {}, now - 89 * kDay, true, true, true, now - 89 * kDay},
      {"an old row beside a young property", now - 90 * kDay, now - 10 * kDay, false, true, true, 0},
      {"a young row alone", now - 5 * kDay, {}, true, false, true, now - 5 * kDay},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] {
      engine()->database()->onDeviceValues().deleteODMValueWithName("odm1_value", nullptr);
      if (c.rowSet) engine()->database()->onDeviceValues().updateODMValue("m-1", "odm1_value", *c.rowSet, nullptr);
      engine()->database()->userProperties().deleteUserAttributeWithName("_psmvalue", nullptr);
    });
    if (c.propertySet) setStoredProperty("_psmvalue", APMValue("m-1"), *c.propertySet);
    for (const char* counter : counters) setStoredProperty(counter, APMValue(2), now - 100 * kDay);
    auto reporter = newReporter();
    onWorker([&] { reporter->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
    auto row = odmRow("odm1_value");
    ASSERT_EQ(row.has_value(), c.rowLeft);
    if (row) {
      EXPECT_DOUBLE_EQ((*row)["set_timestamp"].doubleValue(), c.rowTimeAfter);
    }
    EXPECT_EQ(propertyText("_psmvalue"), c.propertyLeft ? "m-1" : "<absent>");
    for (const char* counter : counters) EXPECT_EQ(propertyText(counter), c.countersLeft ? "2" : "<absent>") << counter;
  }
}

TEST_F(OnDeviceConversionTest, ConversionServiceAnswersAfterAFetchAreKeptOnceAndAnEmptyAnswerRemovesThem) {
  auto service = std::make_shared<FakeConversionService>(20001);
  platform::ConversionService::registerProvider(service);
  start();
  EXPECT_EQ(logged(23278), 1u);
  setStoredProperty("_psmvalue_zads", APMValue("zads-0"), kStartTime);
  completeFetch();
  EXPECT_EQ(logged(23275), 1u);
  EXPECT_EQ(propertyText("_psmvalue_zads"), "<absent>") << "the service is off until configured";

  applyConfig({{"measurement.odm2_enabled", "1"}});
  const struct {
    const char* what;
    FakeConversionService::Answer answer;
    std::optional<std::string> stored;
    size_t events;
    int64_t code;
  } steps[] = {
      {"a first value", {std::string("zads-1"), {}}, "zads-1", 1, 23277},
      {"the same value again", {std::string("zads-1"), {}}, "zads-1", 1, 23282},
      {"an error changes nothing", {std::nullopt, platform::Error{"test", 7, "failed", {}}}, "zads-1", 1, 23269},
      {"a new value", {std::string("zads-2"), {}}, "zads-2", 2, 23277},
      {"an empty value", {std::string(""), {}}, {}, 2, 23281},
      {"no value", {}, {}, 2, 23281},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    clearRecords();
    service->answerNext(step.answer);
    completeFetch();
    EXPECT_EQ(logged(step.code), 1u);
    EXPECT_EQ(propertyText("_psmvalue_zads"), step.stored.value_or("<absent>"));
    auto row = odmRow("odm2_value");
    EXPECT_EQ(row ? (*row)["value"].stringValue() : "<absent>", step.stored.value_or("<absent>"));
    EXPECT_EQ(matchEvents("psm_zads"), step.events);
  }
  EXPECT_EQ(service->interactions, std::vector<int64_t>(6, 0));
  ASSERT_TRUE(service->firstLaunchTimes.back());
  EXPECT_DOUBLE_EQ(service->firstLaunchTimes.back()->seconds, kStartTime);

  APMConsentSettingsUtil::updateSettings({{"ad_storage", platform::Object("denied")}});
  completeFetch();
  EXPECT_EQ(logged(23276), 1u);
  EXPECT_EQ(service->interactions.size(), 6u);
}

TEST_F(OnDeviceConversionTest, LinkedComponentsSetTheirFlagsAndBothGenerationsTogetherRefuseTheFirstProtocol) {
  start();
  const struct {
    const char* what;
    bool clientClass, olderName;
    std::optional<int64_t> serviceVersion;
    int32_t flags;
    std::vector<int64_t> codes;
  } cases[] = {
      {"nothing", false, false, {}, 0, {23279}},
      {"the client class", true, false, {}, 2, {23253, 23279, 23292}},
      {"the client class under its older name", false, true, {}, 0, {23253, 23279}},
      {"an alpha service", false, false, 10000, 4, {23278}},
      {"a newer service", false, false, 10001, 8, {23278}},
      {"an alpha service and the client class", true, false, 10000, 6, {23253, 23278}},
      {"a newer service and the client class", true, false, 10001, 10, {23253, 23284, 23278}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::ClassRegistry::reset();
    if (c.clientClass) platform::PrivateSetMembershipClientClass::registerProvider(std::make_shared<FakePSMClientClass>());
    if (c.olderName) {
      platform::ClassRegistry::registerInstance<platform::PrivateSetMembershipClientClass>(
          platform::PrivateSetMembershipClientClass::kAlternativeClassName, std::make_shared<FakePSMClientClass>());
    }
    if (c.serviceVersion) {
      platform::ConversionService::registerProvider(std::make_shared<FakeConversionService>(*c.serviceVersion));
    }
    clearRecords();
    auto reporter = newReporter();
    onWorker([&] {
      reporter->checkPSMDependencyOnWorkerQueue();
      reporter->checkODM2DependencyOnWorkerQueue();
      reporter->initiateODM1ProtocolWithUserData(kEmail);
      reporter->resetODM1Context();
    });
    expectLoggedOnly({23253, 23278, 23279, 23284, 23292}, c.codes);
    const bool refused = logged(23284) != 0;
    EXPECT_EQ(reporter->isODM1Refused(), refused);
    EXPECT_EQ(logged(23285), refused ? 1u : 0u);
    if (refused) {
      EXPECT_EQ(linesWithCode(23284)[0].level, 3);
      EXPECT_EQ(logged(23225), 0u);
      EXPECT_FALSE(reporter->ODM1Context()) << "a wipe keeps the refusal";
    }
    EXPECT_EQ(linkedClientFlags() & 14, c.flags);
  }
}

// The reporter's moments over a fake engine: its start-up finds the client class, a wipe gives it
// a fresh query context, and its bits join the engine's own in the linked-client flags.
TEST_F(OnDeviceConversionTest, AsAComponentItStartsUpRenewsItsContextAtAWipeAndAddsItsFlagBits) {
  linkClientClass();
  auto context = std::make_shared<enginetest::FakeEngineContext>();
  context->persisted = APMPersistedConfig::sharedInstance();
  auto reporter = std::make_shared<APMOnDeviceConversionReporter>();
  reporter->attachToEngine(context);
  context->queue->sync([&] { reporter->startUpDidLoadConfiguration(); });
  auto started = reporter->ODM1Context();
  ASSERT_TRUE(started) << "the client class was found at start-up";
  context->queue->sync([&] { reporter->willWipeData(); });
  EXPECT_TRUE(reporter->ODM1Context());
  EXPECT_NE(reporter->ODM1Context(), started);

  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetInt32(*metadata, APMPBMeasurementBundle::kLinkedClientFlags, 1);
  reporter->addMetadataFields(*metadata);
  EXPECT_EQ(APMNanoGetInt32(*metadata, APMPBMeasurementBundle::kLinkedClientFlags), 3);
}

}  // namespace
}  // namespace fronttest
