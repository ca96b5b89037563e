#include "Network/VIZUzedaru.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "../../platform/LocalHttpServer.h"
#include "NSData/NSData+DULGzip.h"
#include "TestSupport.h"
#include "platform/Semaphore.h"

namespace {

struct MockLogger : VIZUzedaruLoggerDelegate {
  MOCK_METHOD(void, VIZUzedaru_logWithLevel, (DULLoggerLevel, int64_t, const std::string&), (override));
  MOCK_METHOD(void, VIZUzedaru_logWithLevel, (DULLoggerLevel, int64_t, const std::string&, const platform::Object&),
              (override));
  MOCK_METHOD(void, VIZUzedaru_logWithLevel, (DULLoggerLevel, int64_t, const std::string&, const platform::Array&),
              (override));
};

// What one completion saw.
struct Outcome {
  std::optional<platform::HttpResponse> response;
  platform::Data data;
  std::optional<platform::Error> error;
  bool ranOnQueue = false;
  bool inProgressDuringCompletion = true;
};

class VIZUzedaruTest : public ::testing::Test {
 protected:
  // Starts a request through start(completion) and waits for its completion. The completion queue
  // is held while the request starts, so a completion run inside the call would be caught.
  Outcome run(const std::function<std::optional<std::string>(VIZUzedaru::Completion)>& start,
              std::optional<std::string>* sessionID = nullptr, VIZUzedaru* client = nullptr) {
    if (!client) client = &client_;
    auto outcome = std::make_shared<Outcome>();
    auto done = std::make_shared<platform::Semaphore>();
    auto completed = std::make_shared<std::atomic<bool>>(false);
    queue_->suspend();
    auto id = start([=, this](const std::optional<platform::HttpResponse>& response, const platform::Data& data,
                              const std::optional<platform::Error>& error) {
      completed->store(true);
      *outcome = {response, data, error, queue_->isCurrent(), client->hasUploadInProgress()};
      done->signal();
    });
    EXPECT_FALSE(completed->load()) << "completion ran inside the call";
    queue_->resume();
    EXPECT_TRUE(done->wait(30));
    if (sessionID) *sessionID = id;
    return *outcome;
  }
  Outcome post() {
    return run([&](VIZUzedaru::Completion completion) {
      return client_.postURL(server_.url("/a"), platform::Data{'x'}, queue_, false, completion);
    });
  }

  testsupport::LocalHttpServer server_;
  platform::HttpClient transport_{2};
  VIZUzedaru client_{"127.0.0.1", &transport_};
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("test.network.completion");
};

// The body goes out gzip-compressed whether the client compresses it or the caller did.
TEST_F(VIZUzedaruTest, PostSendsAGzippedBodyWithTheRequiredHeaders) {
  server_.setHandler([](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  platform::Data payload;
  for (int i = 0; i < 5000; ++i) payload.push_back(static_cast<uint8_t>('a' + i % 26));
  const auto gzipped = dul_dataByGzippingData(payload);
  ASSERT_TRUE(gzipped);
  VIZUzedaru::Headers headers = {{"X-Goog-Thing", "abc"}, {"content-type", "text/plain"}, {"Content-Length", "3"}};
  size_t sent = 0;
  for (const bool compressedByCaller : {false, true}) {
    SCOPED_TRACE(compressedByCaller ? "postGzippedURL" : "postURL");
    std::optional<std::string> sessionID;
    Outcome outcome = run(
        [&](VIZUzedaru::Completion completion) {
          return compressedByCaller
                     ? client_.postGzippedURL(server_.url("/a"), headers, *gzipped, queue_, false, completion)
                     : client_.postURL(server_.url("/a"), headers, payload, queue_, false, completion);
        },
        &sessionID);

    ASSERT_TRUE(sessionID.has_value());
    EXPECT_FALSE(sessionID->empty());
    EXPECT_FALSE(outcome.error.has_value());
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_EQ(outcome.response->statusCode, 204);
    EXPECT_TRUE(outcome.ranOnQueue);
    EXPECT_FALSE(outcome.inProgressDuringCompletion);

    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), ++sent);
    const auto& request = requests.back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("X-Goog-Thing"), "abc");
    EXPECT_EQ(request.headers.count("Content-Type"), 1u);
    // The server inflates what it received (it refuses a body that is not gzip); the wire length is
    // the compressed one.
    EXPECT_EQ(request.body, std::string(payload.begin(), payload.end()));
    EXPECT_LT(std::stoul(request.header("Content-Length")), payload.size() / 4);
    if (compressedByCaller) {
      EXPECT_EQ(request.header("Content-Length"), std::to_string(gzipped->size()));
    }
  }
}

TEST_F(VIZUzedaruTest, RequestsThatCannotStartReturnNilAndStillCompleteAsynchronously) {
  // Unusable URLs give code 1; a transport that refuses work gives code 4.
  platform::HttpClient stoppedTransport(1);
  stoppedTransport.shutdown();
  VIZUzedaru stopped("127.0.0.1", &stoppedTransport);
  struct Case {
    std::string url;
    bool post;
    VIZUzedaru* client;
    int64_t code;
  } cases[] = {{"", true, &client_, 1},
               {"ftp://127.0.0.1/a", true, &client_, 1},
               {"http:///path", false, &client_, 1},
               {server_.url("/a"), true, &stopped, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::optional<std::string> sessionID = "unset";
    Outcome outcome = run(
        [&](VIZUzedaru::Completion completion) {
          return c.post ? c.client->postURL(c.url, platform::Data{'x'}, queue_, false, completion)
                        : c.client->getURL(c.url, {}, queue_, false, completion);
        },
        &sessionID, c.client);
    EXPECT_FALSE(sessionID.has_value());
    EXPECT_FALSE(outcome.response.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain, "com.dul.network.ErrorDomain");
    EXPECT_EQ(outcome.error->code, c.code);
    EXPECT_TRUE(outcome.ranOnQueue);
    EXPECT_FALSE(outcome.inProgressDuringCompletion);
  }
  EXPECT_TRUE(server_.requests().empty());
}

// Every line carries a code of the network range; any other is an unexpected call.
TEST_F(VIZUzedaruTest, LogsTheStartThroughTheLoggerDelegateWhichIsHeldWeakly) {
  using testing::_;
  using testing::A;
  using testing::Ge;
  auto logger = std::make_shared<MockLogger>();
  EXPECT_CALL(*logger, VIZUzedaru_logWithLevel(_, Ge(900000), _)).Times(testing::AnyNumber());
  EXPECT_CALL(*logger, VIZUzedaru_logWithLevel(_, Ge(900000), _, A<const platform::Object&>())).Times(testing::AnyNumber());
  EXPECT_CALL(*logger, VIZUzedaru_logWithLevel(_, Ge(900000), _, A<const platform::Array&>())).Times(testing::AnyNumber());
  EXPECT_CALL(*logger,
              VIZUzedaru_logWithLevel(DULLoggerLevel{7}, 900000, "Uploading data. Host",
                                      testing::Matcher<const platform::Object&>(platform::Object("127.0.0.1"))));
  client_.setLoggerDelegate(logger);
  post();
  std::weak_ptr<MockLogger> weak = logger;
  logger.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(post().response.has_value());
}

TEST_F(VIZUzedaruTest, ConcurrentRequestsEachCompleteExactlyOnce) {
  constexpr int kRequests = 24;
  std::atomic<int> completions{0};
  std::atomic<int> ok{0};
  platform::Semaphore allDone;
  std::vector<std::thread> threads;
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] {
      client_.postURL(server_.url("/a"), platform::Data(100 + i, static_cast<uint8_t>(i)), queue_, false,
                      [&](const auto& response, const auto&, const auto&) {
                        if (response && response->statusCode == 200) ++ok;
                        if (++completions == kRequests) allDone.signal();
                      });
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(allDone.wait(60));
  queue_->sync([] {});
  EXPECT_EQ(completions.load(), kRequests);
  EXPECT_EQ(ok.load(), kRequests);
  EXPECT_EQ(server_.requests().size(), static_cast<size_t>(kRequests));
  EXPECT_FALSE(client_.hasUploadInProgress());
}

}  // namespace
