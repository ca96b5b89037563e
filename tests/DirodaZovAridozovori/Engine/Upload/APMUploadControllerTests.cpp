#include "Upload/APMUploadController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "../../../platform/LocalHttpServer.h"
#include "APMAlarm.h"
#include "APMLogCapture.h"
#include "Upload/APMRawEventBundler.h"
#include "Upload/APMUploadBundling.h"
#include "UploadTestSupport.h"
#include "platform/FileLock.h"
#include "platform/Http.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using uploadtest::eventNames;

constexpr int64_t kLibraryVersion = 111500000;

std::vector<std::shared_ptr<Bundle>> postedBundles(const testsupport::RecordedRequest& request) {
  return uploadtest::uploadedBundles(platform::Data(request.body.begin(), request.body.end()));
}

class APMUploadControllerTest : public uploadtest::UploadFixture {
 protected:
  void SetUp() override {
    UploadFixture::SetUp();
    platform::Reachability::reset();
    APMRemoteConfigNetwork::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(server_.port()));
    APMRemoteConfigNetwork::setAnalyticsServiceScheme("http");
    network_ = std::make_shared<VIZUzedaru>("127.0.0.1", &transport_);
    alarm_ = std::make_shared<APMAlarm>(scheduler_->workerQueue(), "Measurement timer");
    onWorker([&] {
      auto bundler = std::make_shared<APMRawEventBundler>(database_, remoteConfig_, persisted_, APMBundlingHooks{});
      APMUploadHooks hooks;
      hooks.libraryVersion = kLibraryVersion;
      hooks.bundleRawEvents = [bundler] { return bundler->bundleRawEvents() == APMRawEventBundler::Result::Bundled; };
      hooks.consentSignals = [] { return std::string("G111"); };
      controller_ = std::make_shared<APMUploadController>(database_, remoteConfig_, persisted_, network_, scheduler_,
                                                          alarm_, hooks);
    });
  }

  void TearDown() override {
    alarm_->cancel();
    onWorker([&] { controller_.reset(); });
    platform::Reachability::reset();
    APMRemoteConfigNetwork::setAnalyticsServiceScheme("https");
    UploadFixture::TearDown();
  }

  void upload() { onWorker([&] { controller_->uploadData(); }); }
  std::optional<double> scheduled() {
    std::optional<double> at;
    onWorker([&] { at = alarm_->scheduledTimestamp(); });
    return at;
  }

  // Waits until the engine has handled count replies (no request pending and nothing in flight).
  bool waitForReplies(size_t count) {
    return testsupport::waitFor(
        [&] {
          if (server_.requests().size() < count) return false;
          bool idle = false;
          onWorker([&] { idle = controller_->uploadingBundleIDs().empty() && !network_->hasUploadInProgress(); });
          return idle;
        },
        10);
  }

  size_t queuedBundleCount() { return static_cast<size_t>(runSQL("SELECT COUNT(*) FROM queue").at(0)); }

  testsupport::LocalHttpServer server_;
  static constexpr size_t kTransportLimit = 64 * 1024;
  platform::HttpClient transport_{platform::HttpClient::kDefaultWorkers, kTransportLimit};
  std::shared_ptr<VIZUzedaru> network_;
  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<APMUploadController> controller_;
};

// The request's headers and the stamps are the end-to-end upload test's and the batch builder's business.
TEST_F(APMUploadControllerTest, ServerErrorKeepsBundlesAndTheRetrysSuccessDeletesThem) {
  const double now = platform::now();
  // Both events in one hour whatever the clock reads, since a bundle ends with its hour: 10 s apart,
  // the later one at least 10 s into its hour, else in the last second of the hour before.
  double last = now - 20;
  if (std::fmod(last, 3600) < 10) last -= std::fmod(last, 3600) + 1;
  storeEvents({{"level_start", last - 10}, {"level_end", last}});
  server_.setHandler([](const httplib::Request&, httplib::Response& response) { response.status = 500; });
  upload();
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(runSQL("SELECT retry_count FROM queue"), std::vector<int64_t>{1})
      << "a failed upload keeps its bundle and raises its retry count";
  onWorker([&] {
    EXPECT_GE(persisted_->uploadSchedule().lastFailedUploadTimestamp(), now);
    EXPECT_EQ(persisted_->uploadSchedule().lastBackoffTimestamp(), 0) << "500 is no back-off";
    EXPECT_EQ(persisted_->uploadSchedule().lastSuccessfulUploadTimestamp(), 0);
    auto scheduled = alarm_->scheduledTimestamp();
    ASSERT_TRUE(scheduled) << "the retry is armed";
    EXPECT_GE(*scheduled, now + 1800 - 60);
  });

  server_.setHandler([](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  upload();
  ASSERT_TRUE(waitForReplies(2));
  ASSERT_EQ(server_.requests().size(), 2u);
  auto bundles = postedBundles(server_.requests()[1]);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"level_start", "level_end"}));
  EXPECT_EQ(APMNanoGetInt64(*bundles[0], Bundle::kUploadLibraryVersion), kLibraryVersion);
  EXPECT_EQ(APMNanoGetString(*bundles[0], Bundle::kConsentSignals), "G111");
  EXPECT_FALSE(APMNanoHasField(*bundles[0], Bundle::kChecksum)) << "checksums are off by default";
  EXPECT_EQ(queuedBundleCount(), 0u) << "204 counts as success";
  onWorker([&] {
    EXPECT_GE(persisted_->uploadSchedule().lastSuccessfulUploadTimestamp(), now);
    EXPECT_EQ(persisted_->uploadSchedule().lastFailedUploadTimestamp(), 0);
    EXPECT_FALSE(controller_->hasDataToUpload());
  });
}

// For an upload the status decides: a reply body over the transport's limit is dropped, and a
// 2xx still deletes what was sent (keeping it would send it twice), as a 500 still keeps it.
TEST_F(APMUploadControllerTest, TheStatusDecidesWhenTheReplysBodyIsOverTheLimit) {
  storeEvents({{"open", platform::now() - 10}});
  const std::string body(kTransportLimit + 1, 'x');
  const struct { int status; size_t queuedAfter; int64_t retryCount; } cases[] = {{500, 1, 1}, {200, 0, 0}};
  size_t replies = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
      response.status = c.status;
      response.set_content(body, "text/plain");
    });
    upload();
    ASSERT_TRUE(waitForReplies(++replies));
    EXPECT_EQ(queuedBundleCount(), c.queuedAfter);
    if (c.queuedAfter != 0) {
      EXPECT_EQ(runSQL("SELECT retry_count FROM queue"), std::vector<int64_t>{c.retryCount});
    }
  }
  onWorker([&] { EXPECT_GT(persisted_->uploadSchedule().lastSuccessfulUploadTimestamp(), 0); });
}

TEST_F(APMUploadControllerTest, UnavailableStartsTheBackoffPeriod) {
  const double now = platform::now();
  storeEvents({{"open", now - 10}});
  server_.setHandler([](const httplib::Request&, httplib::Response& response) { response.status = 503; });
  // An upload already planned for soon must not survive the server's request to back off.
  onWorker([&] { alarm_->runAfterDelay(600, [] {}); });
  upload();
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(queuedBundleCount(), 1u);
  onWorker([&] {
    const double backoff = persisted_->uploadSchedule().lastBackoffTimestamp();
    EXPECT_GE(backoff, now);
    storeEvents({{"later", platform::now()}});
    controller_->updateSchedule();
    auto scheduled = alarm_->scheduledTimestamp();
    ASSERT_TRUE(scheduled);
    EXPECT_GE(*scheduled, backoff + 43200 - 1) << "new data does not shorten the back-off";
  });
}

TEST_F(APMUploadControllerTest, AFailedDeletionSuspendsUploadsInsteadOfResendingTheBundles) {
  const double now = platform::now();
  storeEvents({{"open", now - 10}});
  // The database goes away while the request is out: the sent bundles cannot be deleted.
  server_.setHandler([this](const httplib::Request&, httplib::Response& response) {
    onWorker([&] { database_->closeAndDeleteDatabase(); });
    response.status = 200;
  });
  upload();
  ASSERT_TRUE(waitForReplies(1));
  onWorker([&] {
    EXPECT_GT(controller_->suspendedUploadTimestamp(), 0) << "uploads pause for an hour of uptime";
    EXPECT_FALSE(alarm_->scheduledTimestamp()) << "nothing is planned while suspended";
    controller_->uploadData();
  });
  EXPECT_EQ(server_.requests().size(), 1u) << "the same bundles are not sent again";
}

TEST_F(APMUploadControllerTest, BundlesOfTwoAppsTravelInTwoBatchesInQueueOrder) {
  const double now = platform::now();
  storeEvents({{"first", now - 30}}, "com.example.one");
  storeEvents({{"second", now - 20}}, "com.example.two");
  upload();
  ASSERT_TRUE(waitForReplies(2));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u) << "the success of the first batch sends the next at once";
  std::vector<std::string> appIDs;
  for (const auto& request : requests) {
    for (const auto& bundle : postedBundles(request)) appIDs.push_back(*APMNanoGetString(*bundle, Bundle::kAppId));
  }
  EXPECT_EQ(appIDs, (std::vector<std::string>{"com.example.one", "com.example.two"}));
  EXPECT_EQ(queuedBundleCount(), 0u);
  // Batches sent back to back leave their timestamps to the preferences' delayed write, but the
  // last reply ends the background work and puts them on disk at once.
  onWorker([] {});
  std::string path;
  onWorker([&] { path = persisted_->path(); });
  EXPECT_GT(APMPersistedConfig(path).uploadSchedule().lastSuccessfulUploadTimestamp(), 0) << "read back from the file";
}

// Bundling in steps of several groups makes at most the configured number of bundles per
// attempt (100 by default), asking each step only for what is left, and ends when a step stops.
TEST_F(APMUploadControllerTest, BundlingStepsStayWithinTheBundlesPerAttempt) {
  const struct {
    const char* name;
    int32_t perStep;
    bool stopAfterFirst;
    std::vector<int32_t> asked;
  } cases[] = {
      {"steps of 30 up to the limit", 30, false, {100, 70, 40, 10}},
      {"one step makes them all", 100, false, {100}},
      {"a step that stops ends bundling", 30, true, {100}},
      {"a step that makes nothing ends bundling", 0, false, {100}},
  };
  for (const auto& c : cases) {
    std::vector<int32_t> asked;
    onWorker([&] {
      APMUploadHooks hooks;
      hooks.bundleRawEvents = [] {
        ADD_FAILURE() << "the one-group hook is not used when steps are given";
        return false;
      };
      hooks.bundleRawEventGroups = [&](int32_t limit, const std::function<bool()>&) {
        asked.push_back(limit);
        return APMUploadHooks::BundlingStep{std::min(limit, c.perStep), c.stopAfterFirst};
      };
      auto controller = std::make_shared<APMUploadController>(database_, remoteConfig_, persisted_, network_,
                                                              scheduler_, alarm_, hooks);
      controller->uploadData();
    });
    EXPECT_EQ(asked, c.asked) << c.name;
  }
  EXPECT_TRUE(server_.requests().empty()) << "nothing was queued";
}

// With one bundle per batch, five events an hour apart travel in five batches. The first leaves
// as soon as its bundle is queued (nothing later could join it), and while it is out the other
// four are bundled, so the later attempts find them bundled: the same batches in the same order,
// with the wait for the reply spent on bundling.
TEST_F(APMUploadControllerTest, TheFirstBatchLeavesOnceWholeAndTheRestIsBundledWhileItIsOut) {
  const double now = platform::now();
  for (int i = 1; i <= 5; ++i) storeEvents({{"e" + std::to_string(i), now - (5 - i) * 3600.0 - 1}});
  // What the worker did, in order: a group bundled, or an attempt about to build its batch.
  std::vector<std::string> steps;
  std::shared_ptr<APMUploadController> controller;
  onWorker([&] {
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    APMNanoSetInt64(*config, APMPBMeasurementConfig::kVersion, 7);
    APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, std::string("1:1234:ios:abcd"));
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, APMPBSetting::kName, std::string("measurement.upload.max_bundles"));
    APMNanoSetString(*setting, APMPBSetting::kValue, std::string("1"));
    APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kSettings, std::vector{setting});
    platform::Error error;
    ASSERT_TRUE(database_->storedConfig().updateRemoteConfig(*config, &error));
    auto remoteConfig = APMRemoteConfig::create("1:1234:ios:abcd", database_, persisted_);
    ASSERT_EQ(remoteConfig->uploadLimits().uploadMaxBundlesLimit(), 1);
    auto bundler = std::make_shared<APMRawEventBundler>(database_, remoteConfig, persisted_, APMBundlingHooks{});
    APMUploadHooks hooks;
    hooks.bundleRawEvents = [bundler, &steps] {
      const bool bundled = bundler->bundleRawEvents() == APMRawEventBundler::Result::Bundled;
      if (bundled) steps.push_back("bundle");
      return bundled;
    };
    hooks.uploadWillStart = [&steps] { steps.push_back("send"); };
    controller = std::make_shared<APMUploadController>(database_, remoteConfig, persisted_, network_, scheduler_,
                                                       alarm_, hooks);
  });
  std::atomic<int> replies{0};
  server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
    // The first reply takes its time: long enough for the rest to be bundled meanwhile.
    if (++replies == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    response.status = 204;
  });
  onWorker([&] { controller->uploadData(); });
  EXPECT_TRUE(testsupport::waitFor(
      [&] {
        if (server_.requests().size() < 5) return false;
        bool idle = false;
        onWorker([&] { idle = controller->uploadingBundleIDs().empty() && !network_->hasUploadInProgress(); });
        return idle;
      },
      10));
  std::vector<std::vector<std::string>> batches;
  for (const auto& request : server_.requests()) {
    std::vector<std::string> names;
    for (const auto& bundle : postedBundles(request)) {
      for (const auto& name : eventNames(*bundle)) names.push_back(name);
    }
    batches.push_back(names);
  }
  using Names = std::vector<std::string>;
  EXPECT_EQ(batches, (std::vector<Names>{{"e1"}, {"e2"}, {"e3"}, {"e4"}, {"e5"}}));
  onWorker([&] {
    EXPECT_EQ(steps, (Names{"bundle", "send", "bundle", "bundle", "bundle", "bundle", "send", "send", "send", "send"}))
        << "one group bundled before the first batch left, the other four while it was out";
    controller.reset();
  });
  EXPECT_EQ(queuedBundleCount(), 0u);
}

// While a batch is out, bundling goes on up to a next attempt's worth (100 by default) in one step
// until another block waits on the worker queue (the reply): the step ends there, though not before
// 10 groups, and the rest follows behind that block. A step whose owner is gone does nothing, and
// none runs once no batch is out.
TEST_F(APMUploadControllerTest, BundlingAheadRunsInStepsOnlyWhileItsOwnerLivesAndABatchIsOut) {
  const struct {
    const char* name;
    bool ownerKept;
    bool batchOut;
    int32_t blockWaitsFromGroup;  // 0: nothing else is queued
    std::vector<int32_t> asked;
    std::vector<int32_t> bundled;
  } cases[] = {
      {"nothing else waits", true, true, 0, {100}, {100}},
      {"a block waits from the 25th group", true, true, 25, {100, 75}, {25, 75}},
      {"a block waits from the 3rd group", true, true, 3, {100, 90}, {10, 90}},
      {"the owner gone", false, true, 0, {}, {}},
      {"no batch out", true, false, 0, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Filled on the worker queue; read there once the steps are done, so that no read of them
    // waits on the queue while a step runs (a waiting read would end the step).
    std::vector<int32_t> asked;
    std::vector<int32_t> bundled;
    std::atomic<size_t> steps{0};
    std::shared_ptr<APMUploadBundling> bundling;
    auto owner = std::make_shared<int>(0);
    onWorker([&] {
      APMUploadHooks hooks;
      hooks.bundleRawEventGroups = [&, queue = scheduler_->workerQueue()](int32_t limit,
                                                                          const std::function<bool()>& enough) {
        const bool first = asked.empty();
        asked.push_back(limit);
        int32_t made = 0;
        while (made < limit) {
          ++made;
          if (first && made == c.blockWaitsFromGroup) queue->async([] {});
          if (enough && enough()) break;
        }
        bundled.push_back(made);
        ++steps;
        return APMUploadHooks::BundlingStep{made, false};
      };
      bundling = std::make_shared<APMUploadBundling>(database_, remoteConfig_, scheduler_, hooks,
                                                     [batchOut = c.batchOut] { return batchOut; });
      bundling->scheduleBundlingAhead(owner);
      if (!c.ownerKept) owner.reset();
    });
    EXPECT_TRUE(testsupport::waitFor([&] { return steps.load() >= c.asked.size(); }, 5));
    onWorker([&] {});
    onWorker([&] {
      EXPECT_EQ(asked, c.asked);
      EXPECT_EQ(bundled, c.bundled);
      bundling.reset();
    });
  }
}

TEST_F(APMUploadControllerTest, ScheduleWaitsForTheNetworkAndPendingRequests) {
  const double now = platform::now();
  storeEvents({{"open", now - 10}});
  platform::Reachability::setReachable(false);
  onWorker([&] {
    controller_->updateSchedule();
    EXPECT_FALSE(alarm_->scheduledTimestamp()) << "no network, no alarm";
    controller_->uploadData();
  });
  EXPECT_TRUE(server_.requests().empty());
  platform::Reachability::setReachable(true);
  EXPECT_TRUE(testsupport::waitFor([&] { return scheduled().has_value(); })) << "a reachability change re-plans";
  EXPECT_NEAR(scheduled().value_or(0), now - 10 + 15, 2) << "initial delay after the newest data";
}

}  // namespace

namespace {

// The batch is compressed off the worker queue and posted once that is done. An upload asked for
// meanwhile finds the batch out: it sends nothing, and logs no "Analytics is uploading but network
// is not uploading" (23041), which is for a request flag the network does not back. Once the batch
// is posted the next upload goes as before.
TEST_F(APMUploadControllerTest, AnUploadAskedForWhileTheBatchIsCompressedWaitsForItsReply) {
  testsupport::APMLogCapture log;
  const double now = platform::now();
  storeEvents({{"first", now - 20}});
  // One worker block: the compressed batch cannot be posted before both calls have run.
  onWorker([&] {
    controller_->uploadData();
    EXPECT_FALSE(controller_->uploadingBundleIDs().empty()) << "the batch is out from its build";
    controller_->uploadData();
  });
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(log.count(23041), 0u);

  storeEvents({{"second", now - 10}});
  upload();
  ASSERT_TRUE(waitForReplies(2));
  ASSERT_EQ(server_.requests().size(), 2u);
  auto bundles = postedBundles(server_.requests()[1]);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), std::vector<std::string>{"second"});
  EXPECT_EQ(queuedBundleCount(), 0u);
}

// A reset while a batch is out empties the queue, and SQLite hands the emptied table's row IDs out
// again from 1: a bundle queued before the reply arrives takes the sent bundle's row ID. The reply
// leaves that bundle alone: after a success it goes in the next batch at once, after a failure it
// waits with no retry counted.
TEST_F(APMUploadControllerTest, AReplyAfterAResetLeavesTheBundlesQueuedSince) {
  const double now = platform::now();
  // As the engine's reset does, with a configuration stored afresh so that bundling goes on.
  const auto wipe = [&] {
    platform::Error error;
    ASSERT_TRUE(database_->reset(&error));
    ASSERT_TRUE(database_->storedConfig().updateRemoteConfig(*APMPBMeasurementConfig::initWithMessageInfo(), &error));
  };
  for (const int status : {204, 500}) {
    SCOPED_TRACE(status);
    storeEvents({{"before reset", now - 20}});
    std::vector<int64_t> sentRows;
    bool reset = false;
    server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
      response.status = reset ? 204 : status;
      if (reset) return;
      reset = true;
      onWorker([&] {
        sentRows = controller_->uploadingBundleIDs();
        wipe();
        platform::Error error;
        auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
        APMNanoSetString(*bundle, Bundle::kAppId, std::string("com.example.after-reset"));
        ASSERT_TRUE(database_->bundleQueue().insertBundle(*bundle, false, &error));
      });
    });
    const size_t before = server_.requests().size();
    upload();
    ASSERT_TRUE(waitForReplies(before + (status == 204 ? 2 : 1)));
    if (status == 204) {
      ASSERT_EQ(server_.requests().size(), before + 2);
      auto bundles = postedBundles(server_.requests()[before + 1]);
      ASSERT_EQ(bundles.size(), 1u);
      EXPECT_EQ(APMNanoGetString(*bundles[0], Bundle::kAppId), "com.example.after-reset");
      EXPECT_EQ(queuedBundleCount(), 0u);
    } else {
      EXPECT_EQ(runSQL("SELECT rowid FROM queue"), sentRows) << "it took the sent bundle's row ID";
      EXPECT_EQ(runSQL("SELECT retry_count FROM queue"), std::vector<int64_t>{0});
      onWorker(wipe);
    }
  }
}

// The batch is built off the worker queue from the bundles read for it: while it is built those
// are held (a queued row that does not parse is deleted, never held), and once built only the
// batch's own, so a failed reply counts a retry for them alone and the rest wait their turn.
TEST_F(APMUploadControllerTest, OnlyTheBuiltBatchsBundlesStayHeldUntilItsReply) {
  const double now = platform::now();
  onWorker([&] {
    platform::Error error;
    ASSERT_TRUE(database_->bundleQueue().insertBundle(platform::Data{0xff, 0xff, 0xff}, now - 40, false, &error));
  });
  storeEvents({{"first", now - 30}}, "com.example.one");
  storeEvents({{"second", now - 20}}, "com.example.two");
  std::vector<int64_t> heldWhileOut;
  server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
    onWorker([&] { heldWhileOut = controller_->uploadingBundleIDs(); });
    response.status = 500;
  });
  std::vector<int64_t> heldWhileBuilt;
  onWorker([&] {
    controller_->uploadData();
    heldWhileBuilt = controller_->uploadingBundleIDs();
  });
  ASSERT_TRUE(waitForReplies(1));
  const std::vector<int64_t> rows = runSQL("SELECT rowid FROM queue ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u) << "the row that does not parse is gone, the two bundles wait";
  EXPECT_EQ(heldWhileBuilt, rows);
  EXPECT_EQ(heldWhileOut, std::vector<int64_t>{rows[0]});
  EXPECT_EQ(runSQL("SELECT retry_count FROM queue ORDER BY rowid"), (std::vector<int64_t>{1, 0}));
  ASSERT_EQ(server_.requests().size(), 1u);
  auto bundles = postedBundles(server_.requests()[0]);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), std::vector<std::string>{"first"});
}

// Queued rows that can never be sent, between good ones: one that does not inflate and one that
// does not parse. The build finds them; before the request leaves they are deleted and logged
// (34004, 34005), and they are never sent nor held, while the good rows travel in one batch and are
// deleted after its reply.
TEST_F(APMUploadControllerTest, RowsTheBuildCannotReadAreDeletedBeforeTheRequestAndNeverHeld) {
  testsupport::APMLogCapture log;
  const double now = platform::now();
  storeEvents({{"e1", now - 3 * 3600.0 - 1}, {"e2", now - 2 * 3600.0 - 1}, {"e3", now - 3600.0 - 1}});
  std::shared_ptr<APMRawEventBundler> bundler;
  auto bundleOne = [&] {
    onWorker([&] {
      if (!bundler) bundler = std::make_shared<APMRawEventBundler>(database_, remoteConfig_, persisted_, APMBundlingHooks{});
      ASSERT_EQ(bundler->bundleRawEvents(), APMRawEventBundler::Result::Bundled);
    });
  };
  bundleOne();
  runSQL("INSERT INTO queue (data, end_timestamp, realtime, retry_count) VALUES (x'00112233', 0, 0, 0)");
  bundleOne();
  onWorker([&] {
    platform::Error error;
    ASSERT_TRUE(database_->bundleQueue().insertBundle(platform::Data{0xff, 0xff, 0xff}, now, false, &error));
  });
  bundleOne();
  const std::vector<int64_t> all = runSQL("SELECT rowid FROM queue ORDER BY rowid");
  ASSERT_EQ(all.size(), 5u);
  const std::vector<int64_t> good = {all[0], all[2], all[4]};

  std::vector<int64_t> queuedWhileOut, heldWhileOut;
  server_.setHandler([&](const httplib::Request&, httplib::Response& response) {
    queuedWhileOut = runSQL("SELECT rowid FROM queue ORDER BY rowid");
    onWorker([&] { heldWhileOut = controller_->uploadingBundleIDs(); });
    response.status = 204;
  });
  std::vector<int64_t> heldWhileBuilt;
  onWorker([&] {
    controller_->uploadData();
    heldWhileBuilt = controller_->uploadingBundleIDs();
  });
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(heldWhileBuilt, good);
  EXPECT_EQ(heldWhileOut, good);
  EXPECT_EQ(queuedWhileOut, good) << "the rows that cannot be read are gone before the request leaves";
  EXPECT_EQ(log.count(34004), 1u);
  EXPECT_EQ(log.count(34005), 1u);
  ASSERT_EQ(server_.requests().size(), 1u);
  std::vector<std::string> sent;
  for (const auto& bundle : postedBundles(server_.requests()[0])) {
    for (const auto& name : eventNames(*bundle)) sent.push_back(name);
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"e1", "e2", "e3"}));
  EXPECT_EQ(queuedBundleCount(), 0u);
}

// A compressed batch whose request cannot start (23040 "Unable to create network session.") is no
// failed attempt of its bundles: their retry counts stay, and the upload lock is free again.
TEST_F(APMUploadControllerTest, ABatchWhoseRequestCannotStartLeavesItsBundlesAsTheyWere) {
  testsupport::APMLogCapture log;
  storeEvents({{"open", platform::now() - 10}});
  transport_.shutdown();
  upload();
  // 23043 "Network upload failed": the completion with the transport's error has run.
  ASSERT_TRUE(testsupport::waitFor([&] { return log.contains(23040) && log.contains(23043); }, 10));
  onWorker([&] { EXPECT_TRUE(controller_->uploadingBundleIDs().empty()); });
  EXPECT_EQ(runSQL("SELECT retry_count FROM queue"), std::vector<int64_t>{0});
  EXPECT_TRUE(server_.requests().empty());
  std::string lockPath;
  onWorker([&] { lockPath = database_->databasePath() + ".upload-lock"; });
  platform::FileLock other(lockPath);
  platform::Error error;
  EXPECT_TRUE(other.tryLock(&error)) << error.description;
}

}  // namespace
