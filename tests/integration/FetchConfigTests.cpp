// The configuration fetch against a real configuration server on 127.0.0.1: what the engine
// asks for, what it keeps, and how a new configuration changes what the engine does.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>

#include "../DirodaZovAridozovori/Engine/EngineTestFixture.h"
#include "../DirodaZovAridozovori/Engine/Fetch/ConfigMessages.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Fetch/APMEngineFetch.h"
#include "LocalCollector.h"
#include "platform/ApplicationNotifications.h"
#include "platform/NotificationCenter.h"

namespace enginetest {
namespace {

constexpr const char* kLastModified = "Tue, 14 Nov 2023 10:00:00 GMT";
constexpr int64_t kLibraryVersion = 111500;

// The configuration service answers GET /config/app/<app ID> with the current reply, and 304 when
// the request's If-None-Match names the current ETag.
class FetchConfigTest : public EngineTest {
 protected:
  struct Reply {
    int status = 200;
    platform::Data body;
    std::string etag;
    std::string lastModified;
  };
  struct Request {
    std::map<std::string, std::string> query;
    std::optional<std::string> ifNoneMatch;
    std::optional<std::string> ifModifiedSince;
  };

  void SetUp() override {
    EngineTest::SetUp();
    transport_ = &limitedTransport_;
    collector_.server().Get(R"(/config/app/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      auto header = [&](const char* name) {
        return request.has_header(name) ? std::optional<std::string>(request.get_header_value(name)) : std::nullopt;
      };
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back({{request.params.begin(), request.params.end()}, header("If-None-Match"),
                           header("If-Modified-Since")});
      if (reply_.status == 200 && !reply_.etag.empty() && requests_.back().ifNoneMatch == reply_.etag) {
        response.status = 304;
        return;
      }
      response.status = reply_.status;
      if (!reply_.etag.empty()) response.set_header("ETag", reply_.etag);
      if (!reply_.lastModified.empty()) response.set_header("Last-Modified", reply_.lastModified);
      response.set_content(std::string(reply_.body.begin(), reply_.body.end()), "application/x-protobuf");
    });
    collector_.start();
    // The application has become active (the front keeps that state); then only the front's
    // activity hook and its operation queue are kept, so internal events take the engine's own road.
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
    APMAnalyticsHooks hooks;
    hooks.isAppActive = [] { return APMAnalytics::isAppActive(); };
    hooks.queueOperationWithBlock = [](std::function<void()> block) {
      APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(block));
    };
    APMSetAnalyticsHooks(std::move(hooks));
    // The fetch's progress lines are verbose ones.
    APMMonitor::shared()->setVerboseLoggingEnabled(true);
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMAnalytics::setAppActive(false);
  }

  void setReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  std::vector<Request> configRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  platform::Data config(int64_t version, std::vector<std::pair<std::string, std::string>> settings = {},
                        const std::string& appID = kAppID) {
    return fetchtest::encodedConfig({appID, version, std::move(settings)});
  }

  // Waits until the engine has made `count` configuration requests and handled the last reply.
  void waitForFetches(size_t count) {
    ASSERT_TRUE(testsupport::waitFor([&] { return configRequests().size() >= count; }, 10));
    ASSERT_TRUE(testsupport::waitFor([&] { return !engine().fetch().isNetworkRequestPending(); }, 10));
    drain();
    ASSERT_TRUE(testsupport::waitFor([&] { return !engine().fetch().isNetworkRequestPending(); }, 10));
    drain();
  }

  // As the engine itself does, fetch only while no upload is in flight: the two share the request flag.
  void fetch() {
    ASSERT_TRUE(testsupport::waitFor([&] { return networkReady(); }, 10));
    const size_t before = configRequests().size();
    onWorker([&] { engine().fetch().fetchRemoteConfig(); });
    waitForFetches(before + 1);
  }

  // Events of that name still in the raw-event table plus those the collector received, counted on
  // the worker queue (where bundling happens) while no upload is in flight: a fetch is followed by an
  // upload, so an event may leave the table at any moment.
  size_t storedOrUploaded(const std::string& name) {
    size_t count = 0;
    EXPECT_TRUE(testsupport::waitFor(
        [&] {
          bool counted = false;
          onWorker([&] {
            if (!engine().uploadRoad().isNetworkReadyForRequest()) return;
            count = rowsWithName(storedRows(engine()), name).size();
            for (const auto& upload : collector_.uploads()) {
              for (const auto& event : integrationtest::eventsOf(upload)) count += integrationtest::nameOf(*event) == name;
            }
            counted = true;
          });
          return counted;
        },
        10));
    return count;
  }

  int64_t storedConfigVersion() {
    int64_t version = -1;
    onWorker([&] {
      platform::Error error;
      auto stored = engine().database()->storedConfig().queryDecodedMeasurementConfigWithError(&error);
      if (stored) version = APMNanoGetInt64(*stored, APMPBMeasurementConfig::kVersion);
    });
    return version;
  }

  double lastConfigUpdate() {
    double timestamp = 0;
    onWorker([&] { timestamp = engine().remoteConfigInstance()->message().lastRemoteConfigUpdateTimestamp(); });
    return timestamp;
  }

  static constexpr size_t kTransportLimit = 64 * 1024;
  platform::HttpClient limitedTransport_{platform::HttpClient::kDefaultWorkers, kTransportLimit};
  std::mutex mutex_;
  Reply reply_;
  std::vector<Request> requests_;
  integrationtest::Collector collector_;  // last: its server stops before what its routes use
};

TEST_F(FetchConfigTest, FetchesStoreTheConfigurationAndValidatorsThatTheNextFetchOfTheSameVersionSends) {
  setReply({200, config(1), "\"v1\"", kLastModified});
  start();
  fetch();

  auto requests = configRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].query["platform"], "macos");
  EXPECT_EQ(requests[0].query["dmp_version"], std::to_string(kLibraryVersion));
  EXPECT_EQ(requests[0].query["runtime_version"], "0");
  EXPECT_FALSE(requests[0].ifNoneMatch);
  EXPECT_FALSE(requests[0].ifModifiedSince);

  auto persisted = engine().setup().persistedConfig;
  EXPECT_EQ(persisted->configDownload().configServerETag(), std::optional<std::string>("\"v1\""));
  EXPECT_EQ(persisted->configDownload().configServerLastModifiedString(), std::optional<std::string>(kLastModified));
  EXPECT_EQ(storedConfigVersion(), 1);
  EXPECT_DOUBLE_EQ(lastConfigUpdate(), kStartTime);
  EXPECT_TRUE(loggedCode(900001)) << "the network client's own lines reach the monitor";

  clock_->advance(7200);
  fetch();
  requests = configRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].ifNoneMatch, "\"v1\"");
  EXPECT_EQ(requests[1].ifModifiedSince, kLastModified);
  EXPECT_TRUE(loggedCode(23131)) << "the 304 is reported as not modified";
  EXPECT_EQ(storedConfigVersion(), 1) << "a 304 keeps the stored configuration";
  EXPECT_EQ(persisted->configDownload().configServerETag(), std::optional<std::string>("\"v1\""));
  EXPECT_DOUBLE_EQ(lastConfigUpdate(), kStartTime + 7200) << "a 304 renews the success time";

  // A new configuration is stored and obeyed: the event it block-lists is no longer stored.
  // (A configuration without settings is not parsed at all, so this one carries one.)
  setReply({200, fetchtest::encodedConfig({kAppID, 2, {{"measurement.upload.max_events_per_day", "5000"}}, {"promo_shown"}}),
            "\"v2\"", "Wed, 15 Nov 2023 10:00:00 GMT"});
  fetch();
  EXPECT_EQ(storedConfigVersion(), 2);
  EXPECT_EQ(persisted->configDownload().configServerETag(), std::optional<std::string>("\"v2\""));
  logPublic("promo_shown");
  logPublic("level_up");
  drain();
  EXPECT_EQ(storedOrUploaded("promo_shown"), 0u);
  EXPECT_EQ(storedOrUploaded("level_up"), 1u);

  // Validators kept by another library version are not sent.
  persisted->configDownload().setConfigDMPVersion(kLibraryVersion - 1);
  fetch();
  EXPECT_FALSE(configRequests().back().ifNoneMatch);
  EXPECT_FALSE(configRequests().back().ifModifiedSince);
  EXPECT_EQ(persisted->configDownload().configDMPVersion(), kLibraryVersion);
}

TEST_F(FetchConfigTest, FailedAndRefusedRepliesKeepTheStoredConfiguration) {
  setReply({200, config(1), "\"v1\"", kLastModified});
  start();
  fetch();
  auto persisted = engine().setup().persistedConfig;

  struct Case {
    const char* name;
    Reply reply;
    bool failure;
    bool backoff;
    int64_t loggedCode;
  } cases[] = {
      {"server error", {500, {}, "", ""}, true, false, 23128},
      {"unavailable", {503, {}, "", ""}, true, true, 23129},
      {"too many requests", {429, {}, "", ""}, true, true, 23128},
      // Refusals are logged at a level that is never printed: what stays stored is the check.
      {"other app", {200, config(5, {}, kOtherAppID), "\"other\"", "Thu, 16 Nov 2023 10:00:00 GMT"}, false, false,
       0},
      {"undecodable", {200, platform::Data{0x0a, 0xff, 0xff, 0xff}, "\"bad\"", "Fri, 17 Nov 2023 10:00:00 GMT"}, false,
       false, 0},
      {"not found", {404, {}, "", ""}, false, false, 23130},
      {"empty body", {200, {}, "\"empty\"", ""}, false, false, 23133},
      // A configuration that did not arrive whole is no configuration, whatever the status.
      {"body over the transport's limit",
       {200, config(6, {{"measurement.padding", std::string(kTransportLimit, 'x')}}), "\"long\"", ""}, true, false,
       23128},
  };
  for (const auto& c : cases) {
    persisted->uploadSchedule().setLastFailedUploadTimestamp(0.0);
    persisted->uploadSchedule().setLastBackoffTimestamp(0.0);
    clock_->advance(100);
    setReply(c.reply);
    fetch();
    if (c.loggedCode != 0) {
      EXPECT_TRUE(loggedCode(c.loggedCode)) << c.name;
    }
    EXPECT_EQ(storedConfigVersion(), 1) << c.name;
    EXPECT_EQ(persisted->configDownload().configServerETag(), std::optional<std::string>("\"v1\"")) << c.name;
    EXPECT_EQ(persisted->configDownload().configServerLastModifiedString(), std::optional<std::string>(kLastModified)) << c.name;
    EXPECT_DOUBLE_EQ(persisted->uploadSchedule().lastFailedUploadTimestamp(), c.failure ? platform::now() : 0.0) << c.name;
    EXPECT_DOUBLE_EQ(persisted->uploadSchedule().lastBackoffTimestamp(), c.backoff ? platform::now() : 0.0) << c.name;
  }
}

TEST_F(FetchConfigTest, BecomingActiveRefreshesAWeekOldConfigurationOnlyWhereTheSettingAsks) {
  struct Case {
    bool switchOn;
    double age;
    bool requestPending;
    bool fetches;
  } cases[] = {{false, 8 * 86400, false, false},
               {true, 6 * 86400, false, false},
               {true, 8 * 86400, true, false},
               {true, 8 * 86400, false, true}};
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> settings;
    if (c.switchOn) settings.emplace_back("measurement.upload.blacklist_internal", "1");
    setReply({200, config(1, settings), "", ""});
    start();
    fetch();
    // Only activation may fetch here: the upload road, which also fetches an expired
    // configuration, is kept from running while the clock jumps.
    engine().setup().alarm->cancel();
    const size_t before = configRequests().size();
    clock_->advance(c.age);
    if (c.requestPending) engine().fetch().setIsNetworkRequestPending(true);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
    drain();
    if (c.requestPending) {
      EXPECT_TRUE(loggedCode(23143)) << "a pending request leaves the refresh for later";
      engine().fetch().setIsNetworkRequestPending(false);
    }
    if (c.fetches) {
      waitForFetches(before + 1);
      EXPECT_DOUBLE_EQ(lastConfigUpdate(), platform::now()) << c.switchOn << " " << c.age;
    }
    EXPECT_EQ(configRequests().size(), before + (c.fetches ? 1 : 0))
        << c.switchOn << " " << c.age << " " << c.requestPending;
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    stop();
  }
}

TEST_F(FetchConfigTest, ResigningActiveUploadsOnceAnalyticsHasStarted) {
  setReply({200, config(1), "\"v1\"", kLastModified});
  start();
  fetch();
  const size_t uploadsBefore = collector_.uploads().size();
  logPublic("level_up");
  drain();
  ASSERT_TRUE(APMAnalyticsOperationQueue::isOperationQueueSuspended()) << "analytics has not started in this test";
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
  drain();
  EXPECT_TRUE(loggedCode(23144));
  EXPECT_EQ(collector_.uploads().size(), uploadsBefore) << "held until analytics starts";
  APMAnalyticsOperationQueue::unsuspendOperationQueue();
  EXPECT_TRUE(testsupport::waitFor([&] { return collector_.uploads().size() == uploadsBefore + 1; }, 10));
  ASSERT_TRUE(testsupport::waitFor([&] { return !engine().fetch().isNetworkRequestPending(); }, 10));
  drain();
  EXPECT_TRUE(rowsNamed("level_up").empty()) << "the uploaded event has left the raw-event table";
}

TEST_F(FetchConfigTest, FetchedEngagementIntervalDrivesTheEngagementTimer) {
  setReply({200, config(1, {{"measurement.session.event_user_engagement_interval", "600000"}}), "", ""});
  start();
  fetch();
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  drain();
  const size_t before = rowsNamed("_e").size();
  clock_->advance(600);
  ASSERT_TRUE(testsupport::waitFor([&] { return rowsNamed("_e").size() == before + 1; }, 10));
  EXPECT_EQ(rowsNamed("_e").back().integer("_et"), 600000);
}

}  // namespace
}  // namespace enginetest
