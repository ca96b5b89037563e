#include "platform/Http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <tuple>

#include "LocalHttpServer.h"
#include "OneShotTlsServer.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "platform/Semaphore.h"

namespace {

using platform::HttpClient;
using platform::HttpRequest;
using platform::HttpResult;

HttpResult sendAndWait(HttpClient& client, HttpRequest request) {
  std::promise<HttpResult> promise;
  auto future = promise.get_future();
  EXPECT_TRUE(client.send(std::move(request), [&](HttpResult result) { promise.set_value(std::move(result)); }));
  EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  return future.get();
}

class HttpClientTest : public ::testing::Test {
 protected:
  // Server handlers wait until the test signals release_ (for at most 30 seconds).
  void holdRequests() {
    server_.setHandler([this](const httplib::Request&, httplib::Response&) { release_.wait(30); });
  }

  platform::Semaphore release_;  // outlives the server's handler threads
  testsupport::LocalHttpServer server_;
  HttpClient client_;
};

// A failing status is still a response, never a transport error.
TEST_F(HttpClientTest, PostSendsMethodHeadersAndBodyAndReturnsTheReply) {
  server_.setHandler([](const httplib::Request&, httplib::Response& response) {
    response.status = 503;
    response.set_header("X-Reply", "yes");
    response.set_content("busy", "text/plain");
  });
  HttpResult result = sendAndWait(client_, {"POST", server_.url("/a?x=1"),
                                            {{"X-Custom", "value 1"}, {"Content-Type", "application/octet-stream"}},
                                            {0, 1, 2, 0xff, 0}, 10});
  ASSERT_FALSE(result.error.has_value()) << result.error->description;
  ASSERT_TRUE(result.response.has_value());
  EXPECT_EQ(result.response->statusCode, 503);
  EXPECT_EQ(result.response->header("x-reply").value_or(""), "yes");
  EXPECT_EQ(std::string(result.body.begin(), result.body.end()), "busy");

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/a");
  EXPECT_EQ(requests[0].header("X-Custom"), "value 1");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(requests[0].header("Expect"), "");
  EXPECT_EQ(requests[0].body, std::string("\0\1\2\xff\0", 5));
}

// Only the request to a server that never answers reaches it, and times out.
TEST_F(HttpClientTest, FailedRequestsGetTheMatchingCodeAndNoResponse) {
  testsupport::RefusingPort refusing;
  holdRequests();
  const std::tuple<const char*, HttpRequest, int64_t> cases[] = {
      {"empty URL", {"GET", "", {}, {}, 5}, platform::kURLErrorBadURL},
      {"refused", {"GET", refusing.url("/"), {}, {}, 5}, platform::kURLErrorCannotConnectToHost},
      {"file scheme", {"GET", "file:///etc/passwd", {}, {}, 5}, platform::kURLErrorUnsupportedURL},
      {"header injection", {"POST", server_.url("/x"), {{"X-A", "1\r\nX-Evil: 1"}}, {}, 5}, platform::kURLErrorBadURL},
      {"unsupported method", {"DELETE", server_.url("/x"), {}, {}, 5}, platform::kURLErrorUnsupportedURL},
      {"no answer", {"GET", server_.url("/slow"), {}, {}, 0.5}, platform::kURLErrorTimedOut},
  };
  for (const auto& [label, request, code] : cases) {
    HttpResult result = sendAndWait(client_, request);
    EXPECT_FALSE(result.response.has_value()) << label;
    ASSERT_TRUE(result.error.has_value()) << label;
    EXPECT_EQ(result.error->domain, "NSURLErrorDomain") << label;
    EXPECT_EQ(result.error->code, code) << label << ": " << result.error->description;
  }
  release_.signal();
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0].path, "/slow");
}

TEST_F(HttpClientTest, DestroyingTheClientCancelsRunningAndQueuedRequestsExactlyOnce) {
  holdRequests();
  std::atomic<int> cancelled{0};
  std::atomic<int> other{0};
  {
    HttpClient client(1);
    for (int i = 0; i < 3; ++i) {
      client.send({"GET", server_.url("/held"), {}, {}, 120}, [&](HttpResult result) {
        ++(result.error && result.error->code == platform::kURLErrorCancelled ? cancelled : other);
      });
    }
    EXPECT_TRUE(testsupport::waitFor([&] { return server_.requests().size() == 1; }));
  }
  release_.signal();
  EXPECT_EQ(cancelled.load(), 3);
  EXPECT_EQ(other.load(), 0);
}

// A body beyond the limit is dropped and reported, but the server's status still stands: the
// caller decides whether the body mattered.
TEST_F(HttpClientTest, BodiesBeyondTheLimitAreDroppedWithAnErrorAndTheStatusKept) {
  server_.setHandler([](const httplib::Request& request, httplib::Response& response) {
    response.status = 202;
    response.set_content(std::string(std::stoul(request.get_header_value("X-Size")), 'b'), "text/plain");
  });
  HttpClient client(1, 4096);
  for (auto [size, fits] : {std::pair<size_t, bool>{4096, true}, {4097, false}}) {
    SCOPED_TRACE(size);
    HttpResult result = sendAndWait(client, {"GET", server_.url("/big"), {{"X-Size", std::to_string(size)}}, {}, 10});
    EXPECT_EQ(result.body.size(), fits ? size : 0u);
    ASSERT_TRUE(result.response.has_value());
    EXPECT_EQ(result.response->statusCode, 202);
    EXPECT_EQ(result.error ? result.error->code : 0, fits ? 0 : int64_t{platform::kURLErrorBadServerResponse});
  }
}

// A redirect may take a request from http to https, never from https to http: what was sent
// encrypted must not be sent again in the clear.
TEST_F(HttpClientTest, RedirectsNeverLeaveHttpsForHttp) {
  testsupport::OneShotTlsServer downgrading("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + server_.url("/plain") +
                                            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  HttpClient trustingDowngrading(1, HttpClient::kMaxResponseBytes, downgrading.certificateFile());
  HttpResult refused = sendAndWait(trustingDowngrading, {"POST", downgrading.url("/a"), {}, {1, 2, 3}, 10});
  EXPECT_FALSE(refused.response.has_value());
  EXPECT_EQ(refused.error ? refused.error->code : 0, int64_t{platform::kURLErrorUnsupportedURL});
  EXPECT_TRUE(server_.requests().empty()) << "the body must not reach the plain server";

  testsupport::OneShotTlsServer secure("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  HttpClient trustingSecure(1, HttpClient::kMaxResponseBytes, secure.certificateFile());
  server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", secure.url("/secure"));
  });
  HttpResult upgraded = sendAndWait(trustingSecure, {"GET", server_.url("/plain"), {}, {}, 10});
  ASSERT_TRUE(upgraded.response.has_value()) << (upgraded.error ? upgraded.error->description : "");
  EXPECT_EQ(upgraded.response->statusCode, 200);
  EXPECT_EQ(upgraded.response->url, secure.url("/secure"));
  EXPECT_EQ(std::string(upgraded.body.begin(), upgraded.body.end()), "ok");
}

TEST_F(HttpClientTest, RedirectsAreFollowedAndOnlyTheFinalHeadersKept) {
  server_.setHandler([&](const httplib::Request& request, httplib::Response& response) {
    if (request.path == "/new") return response.set_content("moved", "text/plain");
    response.status = 302;
    response.set_header("Location", "/new");
    response.set_header("X-Hop", "first");
  });
  HttpResult result = sendAndWait(client_, {"GET", server_.url("/old"), {}, {}, 10});
  ASSERT_TRUE(result.response.has_value());
  EXPECT_EQ(result.response->statusCode, 200);
  EXPECT_EQ(result.response->url, server_.url("/new"));
  EXPECT_FALSE(result.response->header("X-Hop").has_value());
  EXPECT_EQ(std::string(result.body.begin(), result.body.end()), "moved");
}

// Requests sent one after the other go over one connection, whichever worker runs them; only
// requests running at the same time need more.
TEST_F(HttpClientTest, RequestsInARowShareOneConnection) {
  holdRequests();
  std::atomic<int> together{0};
  for (int i = 0; i < 2; ++i) client_.send({"GET", server_.url("/together"), {}, {}, 30}, [&](HttpResult) { ++together; });
  ASSERT_TRUE(testsupport::waitFor([&] { return server_.requests().size() == 2; }));
  release_.signal();
  release_.signal();
  ASSERT_TRUE(testsupport::waitFor([&] { return together == 2; }));
  server_.setHandler(nullptr);
  // Each goes out from the completion of the one before: the soonest a caller can send it.
  std::promise<void> finished;
  std::function<void(int)> sendFrom = [&](int left) {
    client_.send({"POST", server_.url("/next"), {}, {1}, 10}, [&, left](HttpResult result) {
      EXPECT_TRUE(result.response.has_value());
      left > 1 ? sendFrom(left - 1) : finished.set_value();
    });
  };
  sendFrom(3);
  ASSERT_EQ(finished.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_NE(requests[0].remotePort, requests[1].remotePort);
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(requests[i].remotePort, requests[2].remotePort) << i;
    EXPECT_TRUE(requests[i].remotePort == requests[0].remotePort || requests[i].remotePort == requests[1].remotePort);
  }
}

// Whether the server says it closes the connection or drops a kept one just as the next request
// comes, every request gets its answer, over a new connection.
TEST(HttpClientConnectionTest, ConnectionsTheServerEndsAreReplaced) {
  using Ending = testsupport::RawHttpServer::Ending;
  for (auto [ending, connections] : {std::pair{Ending::Never, 1}, {Ending::ConnectionClose, 3}, {Ending::Silent, 3}}) {
    SCOPED_TRACE(static_cast<int>(ending));
    testsupport::RawHttpServer server(ending);
    HttpClient client(1);
    for (int i = 0; i < 3; ++i) {
      HttpResult result = sendAndWait(client, {"POST", server.url("/batch"), {}, {1, 2, 3}, 10});
      EXPECT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_EQ(result.response ? result.response->statusCode : 0, 200);
    }
    EXPECT_EQ(server.answered(), 3);
    EXPECT_EQ(server.connections(), connections);
  }
}

TEST(HttpClientConnectionTest, ShutdownClosesKeptConnections) {
  testsupport::RawHttpServer server(testsupport::RawHttpServer::Ending::Never);
  HttpClient client(2);
  ASSERT_TRUE(sendAndWait(client, {"GET", server.url("/"), {}, {}, 10}).response.has_value());
  EXPECT_EQ(server.closedByClient(), 0);
  client.shutdown();
  EXPECT_TRUE(testsupport::waitFor([&] { return server.closedByClient() == 1; }, 30));
}

TEST_F(HttpClientTest, AfterShutdownRequestsAreRefused) {
  client_.shutdown();
  client_.shutdown();
  bool called = false;
  EXPECT_FALSE(client_.send({"GET", server_.url("/"), {}, {}, 1}, [&](HttpResult) { called = true; }));
  EXPECT_FALSE(called);
  EXPECT_EQ(client_.pendingCount(), 0u);
  EXPECT_TRUE(server_.requests().empty());
}

// Signals when the last copy of the completion that holds it is gone. It shares the semaphore, so
// the waiter may return (and let go of its own reference) while the signal is still being given.
struct SignalWhenReleased {
  std::shared_ptr<platform::Semaphore> released;
  ~SignalWhenReleased() { released->signal(); }
};

TEST(HttpClientReleaseTest, AClientReleasedByItsOwnCompletionLetsThatWorkerFinish) {
  auto client = std::make_shared<HttpClient>(1);
  std::promise<void> go;
  auto released = std::make_shared<platform::Semaphore>();
  auto signal = std::make_shared<SignalWhenReleased>(SignalWhenReleased{released});
  auto completion = [owner = client, signal = std::move(signal),
                     ready = go.get_future().share()](HttpResult result) mutable {
    EXPECT_TRUE(result.error.has_value());
    ready.wait();
    owner.reset();  // the last reference: the client ends on its own worker
  };
  // An empty URL fails at once, so no server is needed.
  ASSERT_TRUE(client->send(HttpRequest{}, std::move(completion)));
  client.reset();
  go.set_value();
  EXPECT_TRUE(released->wait(60));
}

}  // namespace
