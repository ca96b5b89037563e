// The upload road end to end: the host logs events and user properties through the public API, and
// a collector on 127.0.0.1 receives, gunzips and decodes the batch the engine posts.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <httplib.h>

#include <map>
#include <mutex>
#include <thread>

#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "DUDUravodazo.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"
#include "platform/Gzip.h"
#include "platform/Http.h"
#include "platform/Paths.h"

extern char** environ;

namespace fronttest {
namespace {

using Bundle = APMPBMeasurementBundle;

struct Post {
  std::string path;
  std::string contentEncoding;
  std::string contentType;
  std::shared_ptr<APMPBMeasurementBatch> batch;
};

// Reads bodies through a content reader: the server library would otherwise parse, and cap, a
// body sent as form-encoded, which is the content type the upload declares.
class Collector {
 public:
  Collector() {
    server_.Post("/a", [this](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) body = platform::Gzip::inflate(body).value_or(platform::Data{});
      Post post{request.path, request.get_header_value("Content-Encoding"), request.get_header_value("Content-Type"),
                APMPBMeasurementBatch::fromBuffer(body)};
      std::lock_guard<std::mutex> lock(mutex_);
      posts_.push_back(post);
      response.status = 200;
    });
    server_.Get(".*", [](const httplib::Request&, httplib::Response& response) { response.status = 304; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Collector() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<Post> posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<Post> posts_;
};

std::vector<std::shared_ptr<Bundle>> bundlesOf(const Post& post) {
  if (!post.batch) return {};
  return APMNanoGetRepeatedField<std::shared_ptr<Bundle>>(*post.batch, APMPBMeasurementBatch::kBundles)
      .value_or(std::vector<std::shared_ptr<Bundle>>{});
}

// name -> its parameters as text, for the public (app-logged) events of a post.
std::vector<std::pair<std::string, std::map<std::string, std::string>>> appEvents(const Post& post) {
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> result;
  for (const auto& bundle : bundlesOf(post)) {
    auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents);
    for (const auto& event : events.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
      std::string name = APMNanoGetString(*event, APMPBEvent::kName).value_or("");
      if (name.empty() || name[0] == '_') continue;
      std::map<std::string, std::string> parameters;
      auto params = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, APMPBEvent::kParams);
      for (const auto& param : params.value_or(std::vector<std::shared_ptr<APMPBEventParam>>{})) {
        std::string key = APMNanoGetString(*param, APMPBEventParam::kName).value_or("");
        if (key.empty() || key[0] == '_') continue;
        if (auto text = APMNanoGetString(*param, APMPBEventParam::kStringValue)) {
          parameters[key] = *text;
        } else if (APMNanoHasField(*param, APMPBEventParam::kIntValue)) {
          parameters[key] = std::to_string(APMNanoGetInt64(*param, APMPBEventParam::kIntValue));
        }
      }
      result.emplace_back(name, parameters);
    }
  }
  return result;
}

std::map<std::string, std::string> publicUserProperties(const Bundle& bundle) {
  std::map<std::string, std::string> result;
  auto attributes = APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(bundle, Bundle::kUserAttributes);
  for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
    std::string name = APMNanoGetString(*attribute, APMPBUserAttribute::kName).value_or("");
    if (!name.empty() && name[0] != '_') {
      result[name] = APMNanoGetString(*attribute, APMPBUserAttribute::kStringValue).value_or("");
    }
  }
  return result;
}

class UploadEndToEndTest : public FrontTest {
 protected:
  void SetUp() override {
    FrontTest::SetUp();
    ROREzo::resetForTesting();
    DUDUravodazo::registerAnalyticsStart();
    platform::Reachability::reset();
    APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(collector_.port()));
    APMRemoteConfig::setAnalyticsServiceScheme("http");
  }
  void TearDown() override {
    DUDUravodazo::resetForTesting();
    ROREzo::resetForTesting();
    VIDAdodaradadivi::resetInstallations();
    FrontTest::TearDown();
    APMRemoteConfig::setAnalyticsServiceScheme("https");
  }

  // Configures the SDK as a host would, with a fresh configuration so bundling may run.
  void startSDK() {
    ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
    drain();
    ASSERT_TRUE(APMMeasurement::hasSharedInstance());
    DUDUravodazo::setAnalyticsCollectionEnabled(true);
    drain();
    applyConfig({});
  }

  void logSession() {
    DUDUravodazo::setUserPropertyString(platform::Object("gorilla"), "favorite_animal");
    DUDUravodazo::logEventWithName("level_start", {{"level", platform::Object(3)}});
    DUDUravodazo::logEventWithName("select_content", {{"content_type", platform::Object("hat")}});
    drain();
  }

  // Uploads and waits until count posts were answered and handled.
  void uploadAndWait(size_t count) {
    onWorker([&] { engine()->uploadData(); });
    ASSERT_TRUE(testsupport::waitFor(
        [&] {
          if (collector_.posts().size() < count) return false;
          bool idle = false;
          onWorker([&] { idle = !engine()->isNetworkRequestPending(); });
          return idle;
        },
        10));
    drain();
  }

  size_t queuedBundles() {
    size_t count = 0;
    onWorker([&] {
      platform::Error error;
      count = engine()->database()->queryBundleDataWithCountLimit(1000, int64_t{1} << 40, &error)->size();
    });
    return count;
  }

  Collector collector_;
};

TEST_F(UploadEndToEndTest, LoggedEventsAndUserPropertiesArriveInOneGzipBatch) {
  startSDK();
  logSession();
  const double before = platform::now();
  uploadAndWait(1);

  auto posts = collector_.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/a");
  EXPECT_EQ(posts[0].contentEncoding, "gzip");
  EXPECT_EQ(posts[0].contentType, "application/x-www-form-urlencoded");
  ASSERT_TRUE(posts[0].batch) << "the body gunzips and decodes as a batch";
  auto events = appEvents(posts[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, "level_start");
  EXPECT_EQ(events[0].second, (std::map<std::string, std::string>{{"level", "3"}}));
  EXPECT_EQ(events[1].first, "select_content");
  EXPECT_EQ(events[1].second, (std::map<std::string, std::string>{{"content_type", "hat"}}));

  auto bundles = bundlesOf(posts[0]);
  ASSERT_FALSE(bundles.empty());
  const Bundle& bundle = *bundles.back();
  EXPECT_EQ(publicUserProperties(bundle), (std::map<std::string, std::string>{{"favorite_animal", "gorilla"}}));
  EXPECT_EQ(APMNanoGetInt32(bundle, Bundle::kProtocolVersion), 1);
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kPlatform), "macos");
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kAppId), "com.example.host");
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kAppVersion), "1.0");
  EXPECT_GE(APMNanoGetInt64(bundle, Bundle::kUploadTimestampMillis), static_cast<int64_t>(before * 1000));
  EXPECT_EQ(APMNanoGetInt64(bundle, Bundle::kUploadLibraryVersion), APMIdentity::zovAridozovoriLibraryVersion());
  EXPECT_GE(APMNanoGetInt64(bundle, Bundle::kEndTimestampMillis), APMNanoGetInt64(bundle, Bundle::kStartTimestampMillis));
  EXPECT_GT(APMNanoGetInt32(bundle, Bundle::kBundleSequentialIndex), 0);
  EXPECT_GT(APMNanoGetInt32(bundle, Bundle::kDeliveryIndex), 0);
  EXPECT_TRUE(APMNanoGetString(bundle, Bundle::kAppInstanceId).has_value());
  EXPECT_EQ(queuedBundles(), 0u) << "200 deletes the sent bundles";
  EXPECT_TRUE(rows().empty()) << "the raw events became bundles";
}

TEST_F(UploadEndToEndTest, StoredEventsKeepTheConsentTheyWereLoggedUnder) {
  startSDK();
  logSession();
  onWorker([&] {
    platform::Error error;
    auto fingerprint = engine()->database()->nextMetadataFingerprintToProcess(&error);
    ASSERT_TRUE(fingerprint) << error.description;
    auto metadata = engine()->database()->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    ASSERT_TRUE(metadata) << error.description;
    const std::string signals = APMConsentSettingsUtil::consentSignals();
    ASSERT_FALSE(signals.empty());
    EXPECT_EQ(APMNanoGetString(*metadata, Bundle::kConsentSignals), signals);
    EXPECT_EQ(APMNanoGetString(*metadata, Bundle::kConsentDiagnostics), APMConsentSettingsUtil::consentDiagnostics());
    EXPECT_TRUE(APMNanoHasField(*metadata, Bundle::kDmaRegion));
    EXPECT_TRUE(APMNanoGetString(*metadata, Bundle::kAppInstanceId).has_value());
  });
}

// The first half of the killed-process test: runs only as the child process the test below
// starts. It logs through the public API into the given data directory, waits until the events
// are stored, and dies without any shutdown.
TEST_F(UploadEndToEndTest, KilledWriterChild) {
  const char* directory = std::getenv("APM_UPLOAD_E2E_KILLED_DIR");
  if (!directory) GTEST_SKIP() << "only runs as the child of the killed-process test";
  platform::Paths::setDataDirectory(directory);
  APMPersistedConfig::resetSharedInstanceForTesting();
  startSDK();
  logSession();
  if (rowsNamed("level_start").size() != 1 || rowsNamed("select_content").size() != 1) _exit(3);
  raise(SIGKILL);
  _exit(4);
}

TEST_F(UploadEndToEndTest, EventsStoredBeforeAKillTravelOnTheNextStart) {
  const std::string variable = "APM_UPLOAD_E2E_KILLED_DIR=" + dataDirectory_.path();
  std::vector<char*> environment;
  for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
  environment.push_back(const_cast<char*>(variable.c_str()));
  environment.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=UploadEndToEndTest.KilledWriterChild";
  char* arguments[] = {self.data(), filter.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, arguments, environment.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "exit status " << status;

  startSDK();  // the next start of the application, over the same files
  uploadAndWait(1);
  std::vector<std::string> names;
  for (const auto& post : collector_.posts()) {
    for (const auto& [name, parameters] : appEvents(post)) names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"level_start", "select_content"}));
  EXPECT_EQ(queuedBundles(), 0u);
}

}  // namespace
}  // namespace fronttest
