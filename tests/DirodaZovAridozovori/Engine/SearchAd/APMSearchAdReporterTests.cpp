// Search-ad attribution against an attribution service on 127.0.0.1: what the reporter sends, how
// it reads the replies, and how its daily attempts are spaced, counted and ended.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "APMPersistedConfig.h"
#include "Logger/DULLogger.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "TestSupport.h"
#include "platform/AttributionTokenProvider.h"
#include "platform/ClassRegistry.h"

namespace {

using platform::Dictionary;
using Kind = APMSearchAdAttributionReply::Kind;

// 2023-11-14 10:00:00 UTC.
constexpr double kNow = 1699956000.0;
constexpr double kDay = 86400;

class TokenProvider final : public platform::AttributionTokenProvider {
 public:
  std::optional<std::string> attributionToken(platform::Error* error) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex);
      hook = onToken;
    }
    if (hook) hook();
    std::lock_guard<std::mutex> lock(mutex);
    if (!token) platform::setError(error, platform::Error("com.example.attribution", 3, "no token"));
    return token;
  }
  std::mutex mutex;
  std::optional<std::string> token = "TOKEN-1";
  std::function<void()> onToken;  // runs on the worker queue as the attempt asks for the token
};

struct Received {
  std::string cacheControl, contentType, body;
};

struct LoggedEvent {
  std::string origin, name;
  Dictionary parameters;
};

TEST(SearchAdAttributionReplyTest, OnlyAWellFormedAnswerIsAnAnswer) {
  struct Case {
    const char* what;
    long status;
    std::string body;
    Kind kind;
    bool attribution = false;
    std::string campaign = "", keyword = "";
  };
  const Case cases[] = {
      {"attributed", 200, R"({"attribution": true, "campaignId": 1234567, "adId": 42, "keywordId": "12323222"})",
       Kind::kAnswer, true, "1234567", "12323222"},
      {"not attributed", 200, R"({"attribution": false})", Kind::kAnswer, false},
      {"attribution as a number", 200, R"({"attribution": 1, "campaignId": "77"})", Kind::kAnswer, true, "77"},
      {"test data", 200, R"({"attribution": true, "adId": 1234567890, "campaignId": "1234567890"})", Kind::kTestData},
      {"only one test marker", 200, R"({"attribution": true, "adId": 1234567890, "campaignId": 5})", Kind::kAnswer,
       true, "5"},
      {"empty object", 200, "{}", Kind::kEmpty},
      {"an error page", 500, R"({"attribution": false})", Kind::kFailed},
      {"a refusal", 404, "{}", Kind::kFailed},
      {"no content", 204, "", Kind::kFailed},
      {"not JSON", 200, "<html>", Kind::kFailed},
      {"an array", 200, "[]", Kind::kFailed},
      {"no attribution", 200, R"({"campaignId": 5})", Kind::kFailed},
      {"attribution as text", 200, R"({"attribution": "true"})", Kind::kFailed},
  };
  for (const auto& c : cases) {
    auto reply = APMSearchAdAttributionReplyFromResponse(c.status, platform::Data(c.body.begin(), c.body.end()));
    EXPECT_EQ(reply.kind, c.kind) << c.what;
    if (c.kind != Kind::kAnswer) continue;
    EXPECT_EQ(reply.attribution, c.attribution) << c.what;
    EXPECT_EQ(reply.campaignID, c.campaign) << c.what;
    EXPECT_EQ(reply.keywordID, c.keyword) << c.what;
  }
}

class SearchAdReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    platform::ClassRegistry::reset();
    provider_ = std::make_shared<TokenProvider>();
    platform::AttributionTokenProvider::registerProvider(provider_);
    DULLoggerSetLevel(DULLoggerLevelDebug);
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(record.line);
    });
    server_.Post("/api/v1/", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back({request.get_header_value("cache-control"), request.get_header_value("Content-Type"),
                           request.body});
      response.status = status_;
      response.set_content(reply_, "application/json");
    });
    const int port = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host_ = "127.0.0.1:" + std::to_string(port);
    APMSearchAdReporter::setAttributionServiceHost(host_);
    APMSearchAdReporter::setAttributionServiceScheme("http");
  }

  void TearDown() override {
    if (reporter_) queue_->sync([this] { reporter_.reset(); });
    server_.stop();
    thread_.join();
    APMSearchAdReporter::resetDeploymentForTesting();
    DULLoggerSetSink(nullptr);
    DULLoggerSetLevel(DULLoggerLevelNotice);
    platform::ClassRegistry::reset();
    APMPersistedConfig::resetSharedInstanceForTesting();
  }

  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }

  std::shared_ptr<APMSearchAdReporter> create() {
    return APMSearchAdReporter::initWithWorkerQueue(
        queue_, persisted(), [this](const std::string& origin, const std::string& name, const Dictionary& parameters) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back({origin, name, parameters});
        });
  }

  // Creates, switches on and starts a reporter as the engine does.
  void startReporter() {
    reporter_ = create();
    ASSERT_TRUE(reporter_);
    queue_->sync([this] {
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
  }

  // Waits until count attempts were made in all and the last one's reply (if any) was handled.
  void awaitAttempts(int64_t count) {
    ASSERT_TRUE(testsupport::waitFor([&] { return persisted()->searchAdRetryCount() >= count; }, 10));
    queue_->sync([] {});  // the attempt's request is on its way
    ASSERT_TRUE(testsupport::waitFor([] { return platform::HttpClient::shared().pendingCount() == 0; }, 10));
    queue_->sync([] {});  // its reply is handled
  }

  void answer(int status, std::string body) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    reply_ = std::move(body);
  }
  std::vector<Received> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<LoggedEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::optional<double> nextAttempt() {
    std::optional<double> when;
    queue_->sync([&] {
      const auto& alarm = reporter_->searchAdReporterAlarm();
      if (alarm) when = alarm->scheduledTimestamp();
    });
    return when;
  }
  bool scheduling() {
    bool alive = false;
    queue_->sync([&] { alive = reporter_->searchAdReporterAlarm() != nullptr; });
    return alive;
  }
  size_t linesWithCode(const std::string& code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find("[I-ACS0" + code + "]") != std::string::npos;
    }));
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kNow};
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("com.diroda.zora.worker");
  std::shared_ptr<TokenProvider> provider_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
  httplib::Server server_;
  std::thread thread_;
  std::string host_;
  std::mutex mutex_;
  int status_ = 200;
  std::string reply_ = "{}";
  std::vector<Received> received_;
  std::vector<LoggedEvent> events_;
  std::vector<std::string> lines_;
};

TEST_F(SearchAdReporterTest, NoReporterOnceTheAnswerIsKnownOrTheAttemptsAreUsedUp) {
  struct Case {
    const char* what;
    int64_t retries;
    std::optional<bool> answer;
    bool created;
  };
  const Case cases[] = {
      {"nothing known", 0, std::nullopt, true},
      {"nine attempts made", 9, std::nullopt, true},
      {"ten attempts made", 10, std::nullopt, false},
      {"attributed", 0, true, false},
      {"not attributed", 0, false, false},
  };
  for (const auto& c : cases) {
    persisted()->setSearchAdRetryCount(c.retries);
    persisted()->setSearchAdCampaignValue(c.answer);
    EXPECT_EQ(create() != nullptr, c.created) << c.what;
  }
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(nullptr, persisted()));
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(queue_, nullptr));
}

TEST_F(SearchAdReporterTest, WithoutTheAttributionFrameworkNothingIsScheduled) {
  for (const bool linkedButUnusable : {false, true}) {
    SCOPED_TRACE(linkedButUnusable);
    platform::ClassRegistry::reset();
    if (linkedButUnusable) platform::AttributionTokenProvider::registerProvider(nullptr);
    startReporter();
    EXPECT_TRUE(scheduling());
    EXPECT_FALSE(nextAttempt());
  }
  EXPECT_EQ(linesWithCode("32014"), 2u);
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(persisted()->searchAdRetryCount(), 0);
}

TEST_F(SearchAdReporterTest, AnAttributedInstallLogsItsCampaignOnce) {
  struct Case {
    const char* what;
    int64_t firstOpenMillis;
    std::string reply;
    Dictionary parameters;
  };
  const Case cases[] = {
      {"campaign, keyword and first open",
       1699956000000LL,
       R"({"attribution": true, "orgId": 40669820, "campaignId": 1234567, "adGroupId": 1234567, "adId": 1234567,
           "keywordId": "12323222", "conversionType": "Download"})",
       {{"source", "Apple"},
        {"medium", "search"},
        {"campaign", "1234567"},
        {"term", "12323222"},
        {"click_timestamp", 1699955999999LL}}},
      {"no keyword and no first open", 0, R"({"attribution": true, "campaignId": 88, "keywordId": ""})",
       {{"source", "Apple"}, {"medium", "search"}, {"campaign", "88"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    persisted()->setSearchAdCampaignValue(std::nullopt);
    persisted()->setSearchAdRetryCount(0);
    persisted()->setLastSearchAdLookUpTimestamp(std::nullopt);
    persisted()->setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
    const size_t before = received().size();
    answer(200, c.reply);
    startReporter();
    awaitAttempts(1);

    auto requests = received();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().cacheControl, "no-cache");
    EXPECT_EQ(requests.back().contentType, "text/plain");
    EXPECT_EQ(requests.back().body, "TOKEN-1");
    auto logged = events();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].origin, "auto");
    EXPECT_EQ(logged[0].name, "_cmp");
    EXPECT_EQ(logged[0].parameters, c.parameters);
    EXPECT_EQ(persisted()->searchAdCampaignValue(), std::optional<bool>(true));
    EXPECT_EQ(persisted()->searchAdRetryCount(), 1);
    EXPECT_DOUBLE_EQ(persisted()->lastSearchAdLookUpTimestamp(), kNow);
    EXPECT_FALSE(scheduling()) << "an answer ends scheduling";

    // A late second answer is not logged again.
    queue_->sync([this] { reporter_->logCampaignEventWithSearchAdCampaign(true, "99", "1"); });
    EXPECT_EQ(events().size(), 1u);
    queue_->sync([this] { reporter_.reset(); });
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
}

TEST_F(SearchAdReporterTest, ANegativeAnswerEndsTheAttemptsWithoutAnEvent) {
  answer(200, R"({"attribution": false, "campaignId": 5})");
  startReporter();
  awaitAttempts(1);
  EXPECT_EQ(persisted()->searchAdCampaignValue(), std::optional<bool>(false));
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(scheduling());
  EXPECT_FALSE(create()) << "a later process does not ask again";
}

// Whatever is no answer counts as an attempt and waits a day for the next.
TEST_F(SearchAdReporterTest, WhatIsNoAnswerIsRetriedADayLater) {
  struct Case {
    const char* what;
    int status;
    std::string reply;
    bool token = true;
    bool reachable = true;
  };
  const Case cases[] = {
      {"test data", 200, R"({"attribution": true, "adId": "1234567890", "campaignId": 1234567890})"},
      {"an empty object", 200, "{}"},
      {"a server error", 500, R"({"attribution": false})"},
      {"no attribution in the reply", 200, R"({"campaignId": 5})"},
      {"not JSON", 200, "<html>"},
      {"no token", 200, R"({"attribution": true})", false},
      {"the service unreachable", 200, R"({"attribution": true})", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    persisted()->setSearchAdRetryCount(0);
    persisted()->setLastSearchAdLookUpTimestamp(std::nullopt);
    {
      std::lock_guard<std::mutex> lock(provider_->mutex);
      provider_->token = c.token ? std::optional<std::string>("TOKEN-1") : std::nullopt;
    }
    APMSearchAdReporter::setAttributionServiceHost(c.reachable ? host_ : "127.0.0.1:1");
    const size_t before = received().size();
    answer(c.status, c.reply);
    startReporter();
    awaitAttempts(1);

    EXPECT_EQ(received().size(), before + (c.token && c.reachable ? 1 : 0));
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(persisted()->searchAdCampaignValue());
    EXPECT_EQ(nextAttempt(), std::optional<double>(clock_->now() + kDay));

    // The next attempt, a day later, counts as the second; this time the service says no.
    answer(200, R"({"attribution": false})");
    clock_->advance(kDay - 1);
    queue_->sync([] {});
    EXPECT_EQ(persisted()->searchAdRetryCount(), 1);
    clock_->advance(1);
    awaitAttempts(2);
    EXPECT_EQ(persisted()->searchAdCampaignValue(),
              c.token && c.reachable ? std::optional<bool>(false) : std::optional<bool>());
    persisted()->setSearchAdCampaignValue(std::nullopt);
    queue_->sync([this] { reporter_.reset(); });
  }
}

TEST_F(SearchAdReporterTest, TheTenthAttemptIsTheLast) {
  persisted()->setSearchAdRetryCount(9);
  answer(500, "");
  startReporter();
  awaitAttempts(10);
  EXPECT_FALSE(scheduling()) << "scheduling refused after the tenth attempt";
  EXPECT_EQ(received().size(), 1u);
  EXPECT_FALSE(create());
}

TEST_F(SearchAdReporterTest, TheCollectionSwitchCancelsAndReArmsTheNextAttempt) {
  answer(200, "{}");
  startReporter();
  awaitAttempts(1);
  ASSERT_EQ(nextAttempt(), std::optional<double>(kNow + kDay));

  queue_->sync([this] { reporter_->setSearchAdReporterEnabled(false); });
  EXPECT_TRUE(scheduling());
  EXPECT_FALSE(nextAttempt()) << "switched off: nothing pending";

  // Switched on again two days after the last attempt: the next is due at once.
  clock_->advance(2 * kDay);
  answer(200, R"({"attribution": true, "campaignId": 3})");
  queue_->sync([this] { reporter_->setSearchAdReporterEnabled(true); });
  awaitAttempts(2);
  EXPECT_EQ(received().size(), 2u);
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(SearchAdReporterTest, AReplyArrivingWhileSwitchedOffIsNotTheAnswer) {
  answer(200, R"({"attribution": true, "campaignId": 3})");
  // Switched off while the attempt is under way, before its reply can arrive.
  provider_->onToken = [this] { reporter_->setSearchAdReporterEnabled(false); };
  startReporter();
  awaitAttempts(1);
  EXPECT_EQ(received().size(), 1u);
  EXPECT_FALSE(persisted()->searchAdCampaignValue());
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(scheduling());
  EXPECT_FALSE(nextAttempt());
}

}  // namespace
