// Search-ad attribution against an attribution service on 127.0.0.1: what the reporter sends, how
// it reads the replies, and how its daily attempts are spaced, counted and ended.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "../FakeEngineContext.h"
#include "APMPersistedConfig.h"
#include "Logger/DULLogger.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "TestSupport.h"
#include "platform/AttributionTokenProvider.h"
#include "platform/ClassRegistry.h"

namespace {

using platform::Dictionary;
using Kind = APMSearchAdAttributionReply::Kind;

constexpr double kNow = 1699956000.0;  // 2023-11-14 10:00:00 UTC
constexpr double kDay = 86400;

class TokenProvider final : public platform::AttributionTokenProvider {
 public:
  std::optional<std::string> attributionTokenWithError(platform::Error* error) override {
    if (onToken) onToken();
    if (!token) platform::setError(error, platform::Error("com.example.attribution", 3, "no token"));
    return token;
  }
  // Set before the reporter starts; read on the worker queue.
  std::optional<std::string> token = "TOKEN-1";
  std::function<void()> onToken;
};

TEST(SearchAdAttributionReplyTest, OnlyAWellFormedAnswerIsAnAnswer) {
  const struct {
    long status;
    std::string body;
    Kind kind;
    std::string answer = "";  // attribution/campaign/keyword
  } cases[] = {
      {200, R"({"attribution": true, "campaignId": 1234567, "adId": 42, "keywordId": "12323222"})", Kind::kAnswer,
       "1/1234567/12323222"},
      {200, R"({"attribution": 0, "campaignId": "77"})", Kind::kAnswer, "0/77/"},
      {200, R"({"attribution": true, "adId": 1234567890, "campaignId": "1234567890"})", Kind::kTestData},
      {200, R"({"attribution": true, "adId": 1234567890, "campaignId": 5})", Kind::kAnswer, "1/5/"},
      {200, "{}", Kind::kEmpty},
      {500, R"({"attribution": false})", Kind::kFailed},
      {204, "", Kind::kFailed},
      {200, "[]", Kind::kFailed},
      {200, R"({"campaignId": 5})", Kind::kFailed},
      {200, R"({"attribution": "true"})", Kind::kFailed},
  };
  for (const auto& c : cases) {
    auto reply = APMSearchAdAttributionReplyFromResponse(c.status, platform::Data(c.body.begin(), c.body.end()));
    EXPECT_EQ(reply.kind, c.kind) << c.body;
    if (c.kind != Kind::kAnswer) continue;
    EXPECT_EQ(std::to_string(reply.attribution) + "/" + reply.campaignID + "/" + reply.keywordID, c.answer) << c.body;
  }
}

class SearchAdReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    platform::ClassRegistry::reset();
    platform::AttributionTokenProvider::registerProvider(provider_);
    server_.Post("/api/v1/", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(request.get_header_value("cache-control") + " " + request.get_header_value("Content-Type") +
                          " " + request.body);
      response.status = status_;
      response.set_content(reply_, "application/json");
    });
    // The transport keeps its connections open: close idle ones at once, or stopping waits them out.
    server_.set_keep_alive_timeout(0);
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
    platform::ClassRegistry::reset();
    APMPersistedConfig::resetSharedInstanceForTesting();
  }

  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }

  std::shared_ptr<APMSearchAdReporter> create() {
    return APMSearchAdReporter::initWithWorkerQueue(
        queue_, persisted(), [this](const std::string& origin, const std::string& name, const Dictionary& parameters) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back(parameters);
          events_.back()["<event>"] = origin + " " + name;
        });
  }

  // Creates, switches on and starts a reporter as the engine does (a fresh one each time).
  void startReporter() {
    if (reporter_) queue_->sync([this] { reporter_.reset(); });
    reporter_ = create();
    ASSERT_TRUE(reporter_);
    queue_->sync([this] {
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
  }

  // Waits until count attempts were made in all and the last one's reply (if any) was handled.
  void awaitAttempts(int64_t count) {
    ASSERT_TRUE(testsupport::waitFor([&] { return persisted()->attribution().searchAdRetryCount() >= count; }, 10));
    queue_->sync([] {});  // the attempt's request is on its way
    ASSERT_TRUE(testsupport::waitFor([] { return platform::HttpClient::shared().pendingCount() == 0; }, 10));
    queue_->sync([] {});  // its reply is handled
  }

  void answer(int status, std::string body) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    reply_ = std::move(body);
  }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<Dictionary> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // The next attempt's time; none when idle; "ended" when scheduling was cancelled for good.
  std::string nextAttempt() {
    std::string when = "ended";
    queue_->sync([&] {
      if (const auto& alarm = reporter_->searchAdReporterAlarm()) {
        auto at = alarm->scheduledTimestamp();
        when = at ? std::to_string(static_cast<int64_t>(*at - kNow)) : "idle";
      }
    });
    return when;
  }
  void resetState() {
    persisted()->attribution().setSearchAdCampaignValue(std::nullopt);
    persisted()->attribution().setSearchAdRetryCount(0);
    persisted()->attribution().setLastSearchAdLookUpTimestamp(std::nullopt);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kNow};
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("com.diroda.zora.worker");
  std::shared_ptr<TokenProvider> provider_ = std::make_shared<TokenProvider>();
  std::shared_ptr<APMSearchAdReporter> reporter_;
  httplib::Server server_;
  std::thread thread_;
  std::string host_;
  std::mutex mutex_;
  int status_ = 200;
  std::string reply_ = "{}";
  std::vector<std::string> received_;
  std::vector<Dictionary> events_;
};

TEST_F(SearchAdReporterTest, NoReporterOnceTheAnswerIsKnownOrTheAttemptsAreUsedUp) {
  const struct {
    int64_t retries;
    std::optional<bool> answer;
    bool created;
  } cases[] = {{9, std::nullopt, true}, {10, std::nullopt, false}, {0, true, false}, {0, false, false}};
  for (const auto& c : cases) {
    persisted()->attribution().setSearchAdRetryCount(c.retries);
    persisted()->attribution().setSearchAdCampaignValue(c.answer);
    EXPECT_EQ(create() != nullptr, c.created) << c.retries;
  }
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(nullptr, persisted()));
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(queue_, nullptr));
  // Without the attribution framework (absent, or present but unusable) nothing is scheduled.
  for (const bool linkedButUnusable : {false, true}) {
    platform::ClassRegistry::reset();
    if (linkedButUnusable) platform::AttributionTokenProvider::registerProvider(nullptr);
    persisted()->attribution().setSearchAdCampaignValue(std::nullopt);
    startReporter();
    EXPECT_EQ(nextAttempt(), "idle");
  }
}

TEST_F(SearchAdReporterTest, AnAnswerIsRecordedOnceAndAnAttributedOneLoggedAsTheCampaign) {
  const struct {
    int64_t firstOpenMillis;
    std::string reply;
    std::optional<bool> stored;
    std::vector<Dictionary> events;
  } cases[] = {
      {1699956000000LL,
       R"({"attribution": true, "orgId": 40669820, "campaignId": 1234567, "adId": 1234567, "keywordId": "12323222"})",
       true,
       {{{"<event>", "auto _cmp"},
         {"source", "Apple"},
         {"medium", "search"},
         {"campaign", "1234567"},
         {"term", "12323222"},
         {"click_timestamp", 1699955999999LL}}}},
      {0, R"({"attribution": true, "campaignId": 88, "keywordId": ""})", true,
       {{{"<event>", "auto _cmp"}, {"source", "Apple"}, {"medium", "search"}, {"campaign", "88"}}}},
      {0, R"({"attribution": false, "campaignId": 5})", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    resetState();
    persisted()->attribution().setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
    answer(200, c.reply);
    startReporter();
    awaitAttempts(1);
    EXPECT_EQ(received().back(), "no-cache text/plain TOKEN-1");
    EXPECT_EQ(events(), c.events);
    EXPECT_EQ(persisted()->attribution().searchAdCampaignValue(), c.stored);
    EXPECT_EQ(persisted()->attribution().lastSearchAdLookUpTimestamp(), kNow);
    EXPECT_EQ(nextAttempt(), "ended");
    // A late second answer is neither recorded nor logged.
    queue_->sync([this, &c] { reporter_->logCampaignEventWithSearchAdCampaign(!*c.stored, "99", "1"); });
    EXPECT_EQ(events(), c.events);
    EXPECT_EQ(persisted()->attribution().searchAdCampaignValue(), c.stored);
  }
  EXPECT_FALSE(create()) << "a later process does not ask again";
}

// Whatever is no answer counts as an attempt and waits a day for the next, up to the tenth.
TEST_F(SearchAdReporterTest, WhatIsNoAnswerIsRetriedADayLaterUpToTheTenthAttempt) {
  const struct {
    const char* what;
    int status;
    std::string reply;
    bool token = true, reachable = true;
  } cases[] = {
      {"test data", 200, R"({"attribution": true, "adId": "1234567890", "campaignId": 1234567890})"},
      {"a server error", 500, R"({"attribution": false})"},
      {"no attribution", 200, R"({"campaignId": 5})"},
      {"no token", 200, R"({"attribution": false})", false},
      {"the service unreachable", 200, R"({"attribution": false})", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    resetState();
    provider_->token = c.token ? std::optional<std::string>("TOKEN-1") : std::nullopt;
    APMSearchAdReporter::setAttributionServiceHost(c.reachable ? host_ : "127.0.0.1:1");
    const size_t before = received().size();
    answer(c.status, c.reply);
    const double start = platform::now();
    startReporter();
    awaitAttempts(1);
    EXPECT_EQ(received().size(), before + (c.token && c.reachable));
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(persisted()->attribution().searchAdCampaignValue());
    EXPECT_EQ(nextAttempt(), std::to_string(static_cast<int64_t>(start - kNow + kDay)));
    clock_->advance(kDay - 1);
    queue_->sync([] {});
    EXPECT_EQ(persisted()->attribution().searchAdRetryCount(), 1);
    clock_->advance(1);
    awaitAttempts(2);
  }
  // The tenth attempt fails too: scheduling ends, and no later process asks again.
  resetState();
  persisted()->attribution().setSearchAdRetryCount(9);
  answer(500, "");
  startReporter();
  awaitAttempts(10);
  EXPECT_EQ(nextAttempt(), "ended");
  EXPECT_FALSE(create());
}

TEST_F(SearchAdReporterTest, TheCollectionSwitchCancelsAndReArmsTheNextAttempt) {
  startReporter();
  awaitAttempts(1);
  ASSERT_EQ(nextAttempt(), "86400");
  queue_->sync([this] { reporter_->setSearchAdReporterEnabled(false); });
  EXPECT_EQ(nextAttempt(), "idle");

  // Switched on again two days after the last attempt: the next is due at once.
  clock_->advance(2 * kDay);
  answer(200, R"({"attribution": true, "campaignId": 3})");
  queue_->sync([this] { reporter_->setSearchAdReporterEnabled(true); });
  awaitAttempts(2);
  EXPECT_EQ(events().size(), 1u);

  // A reply that arrives while switched off is not taken as the answer.
  resetState();
  provider_->onToken = [this] { reporter_->setSearchAdReporterEnabled(false); };
  startReporter();
  awaitAttempts(1);
  EXPECT_EQ(received().size(), 3u);
  EXPECT_FALSE(persisted()->attribution().searchAdCampaignValue());
  EXPECT_EQ(nextAttempt(), "idle");
}

// As one of an engine's components: made and started as the engine's start-up ends, over the
// engine's queue and persisted configuration, switched with collection, and its campaign event
// handed to the engine.
TEST_F(SearchAdReporterTest, AsAComponentItStartsWithTheEngineFollowsTheSwitchAndLogsThroughTheEngine) {
  auto context = std::make_shared<enginetest::FakeEngineContext>();
  context->queue = queue_;
  context->persisted = persisted();
  answer(200, R"({"attribution": true, "campaignId": 77})");
  auto component = std::make_shared<APMSearchAdComponent>();
  component->attachToEngine(context);
  queue_->sync([&] {
    component->startUpDidFinish();
    ASSERT_TRUE(component->reporter());
    // The first attempt is due at once, but cannot run before this block ends.
    EXPECT_TRUE(component->reporter()->searchAdReporterAlarm()->scheduledTimestamp());
    component->collectionDidSwitch(false);
    EXPECT_FALSE(component->reporter()->searchAdReporterAlarm()->scheduledTimestamp()) << "switched off";
  });

  queue_->sync([&] { component->collectionDidSwitch(true); });
  awaitAttempts(1);
  ASSERT_EQ(context->events.size(), 1u);
  EXPECT_EQ(context->events[0].origin, "auto");
  EXPECT_EQ(context->events[0].name, "_cmp");
  EXPECT_EQ(context->events[0].parameters.at("campaign"), platform::Object("77"));

  // The answer is known: the next engine's start-up makes no reporter, so nothing is asked again.
  auto next = std::make_shared<APMSearchAdComponent>();
  next->attachToEngine(context);
  queue_->sync([&] {
    next->startUpDidFinish();
    next->collectionDidSwitch(true);
  });
  queue_->sync([] {});
  EXPECT_EQ(received().size(), 1u);
  queue_->sync([&] {
    component.reset();
    next.reset();
  });
}

}  // namespace
