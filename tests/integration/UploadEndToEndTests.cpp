// The upload road end to end: the host logs events and user properties through the public API, and
// a collector on 127.0.0.1 receives, gunzips and decodes the batch the engine posts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "APMEngineRegistry.h"
#include "../DirodaZovAridozovori/Engine/EventEditingPrograms.h"
#include "../ZoredodeAnalytics/PublicAPITestFixture.h"
#include "Fetch/APMEngineFetch.h"
#include "ChildProcess.h"
#include "Upload/APMEngineUploadRoad.h"
#include "LocalCollector.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/Semaphore.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace fronttest {
namespace {

using Bundle = APMPBMeasurementBundle;
using namespace integrationtest;

// The public (app-logged) events of an upload.
std::vector<std::shared_ptr<APMPBEvent>> appEvents(const Upload& upload) {
  auto events = eventsOf(upload);
  std::erase_if(events, [](const auto& event) { return nameOf(*event).starts_with('_'); });
  return events;
}

class UploadEndToEndTest : public PublicAPITest<FrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    platform::Reachability::reset();
    collector_.server().Get(".*", [](const httplib::Request&, httplib::Response& response) { response.status = 304; });
    collector_.start();
  }
  // Configures the SDK as a host would, with a fresh configuration so bundling may run.
  void startSDK() {
    PublicAPITest::startSDK();
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
    onWorker([&] { engine()->uploadRoad().uploadData(); });
    ASSERT_TRUE(testsupport::waitFor(
        [&] {
          if (collector_.uploads().size() < count) return false;
          bool idle = false;
          onWorker([&] { idle = !engine()->fetch().isNetworkRequestPending(); });
          return idle;
        },
        10));
    drain();
  }

  void expectStoredEventsTravelAfterAKill(const std::function<void()>& between);

  Collector collector_;
};

// The request's path and headers are the configuration's and the network client's business.
TEST_F(UploadEndToEndTest, LoggedEventsAndUserPropertiesArriveInOneBatch) {
  startSDK();
  logSession();
  const double before = platform::now();
  uploadAndWait(1);

  auto posts = collector_.uploads();
  ASSERT_EQ(posts.size(), 1u);
  auto events = appEvents(posts[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(nameOf(*events[0]), "level_start");
  EXPECT_EQ(uploadtest::intParameter(*events[0], "level"), 3);
  EXPECT_EQ(nameOf(*events[1]), "select_content");
  EXPECT_EQ(uploadtest::textParameter(*events[1], "content_type"), "hat");

  const Bundle& bundle = *posts[0].back();
  auto property = uploadtest::namedEntry<APMPBUserAttribute>(bundle, Bundle::kUserAttributes, "favorite_animal");
  ASSERT_TRUE(property);
  EXPECT_EQ(APMNanoGetString(*property, APMPBUserAttribute::kStringValue), "gorilla");
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kAppId), "com.example.host");
  EXPECT_GE(APMNanoGetInt64(bundle, Bundle::kUploadTimestampMillis), static_cast<int64_t>(before * 1000));
  EXPECT_EQ(APMNanoGetInt64(bundle, Bundle::kUploadLibraryVersion), APMIdentity::zovAridozovoriLibraryVersion());
  EXPECT_TRUE(APMNanoGetString(bundle, Bundle::kAppInstanceId).has_value());
}

TEST_F(UploadEndToEndTest, StoredEventsKeepTheConsentTheyWereLoggedUnder) {
  startSDK();
  logSession();
  onWorker([&] {
    platform::Error error;
    auto fingerprint = engine()->database()->rawEvents().nextMetadataFingerprintToProcess(&error);
    ASSERT_TRUE(fingerprint) << error.description;
    auto metadata = engine()->database()->rawEvents().queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    ASSERT_TRUE(metadata) << error.description;
    const std::string signals = APMConsentSettingsUtil::consentSignals();
    ASSERT_FALSE(signals.empty());
    EXPECT_EQ(APMNanoGetString(*metadata, Bundle::kConsentSignals), signals);
    EXPECT_EQ(APMNanoGetString(*metadata, Bundle::kConsentDiagnostics), APMConsentSettingsUtil::consentDiagnostics());
    EXPECT_TRUE(APMNanoHasField(*metadata, Bundle::kDmaRegion));
    EXPECT_TRUE(APMNanoGetString(*metadata, Bundle::kAppInstanceId).has_value());
  });
}

// A configuration's program: "checkout_start" becomes "checkout_done", gains "stage" = "final" and
// loses "email"; a "checkout_copy" event with its "value" is created.
TEST_F(UploadEndToEndTest, EventsAProgramEditedAndCreatedAreStoredAndTravelAsEdited) {
  startSDK();
  using editingtest::rule;
  auto program = editingtest::program({
      rule("edit", "(41 \"match\") (3 \"match\" " + editingtest::kIsCheckout + ")"
                   " (2 (15 \"e\") \"setEventName\" (7 \"checkout_done\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"stage\" \"final\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"email\" (45)))"
                   " (36 (39 (15 \"match\") 1 2))"),
      rule("create", "(39 (20 (2 (15 \"e\") \"getEventName\" (7)) \"checkout_done\")"
                     " (log \"checkout_copy\" (2 (15 \"e\") \"getTimestamp\" (7))"
                     " (8 \"value\" (2 (15 \"e\") \"getParamValue\" (7 \"value\")))) 0)"),
  });
  ASSERT_TRUE(program);
  auto config = fetchtest::configMessage({kAppID, 1, {}, {}, {}, {program}});
  onWorker([&] { ASSERT_TRUE(engine()->remoteConfigInstance()->updateMeasurementConfig(config)); });

  DUDUravodazo::logEventWithName("checkout_start", {{"email", platform::Object("person@example.com")},
                                                    {"value", platform::Object(42)}});
  drain();
  std::vector<std::string> stored;
  for (const auto& row : rows()) {
    if (row.origin == "app") stored.push_back(row.name);
  }
  EXPECT_EQ(stored, (std::vector<std::string>{"checkout_done", "checkout_copy"}));

  uploadAndWait(1);
  auto posts = collector_.uploads();
  ASSERT_EQ(posts.size(), 1u);
  auto events = appEvents(posts[0]);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(nameOf(*events[0]), "checkout_done");
  EXPECT_EQ(uploadtest::textParameter(*events[0], "stage"), "final");
  EXPECT_FALSE(uploadtest::textParameter(*events[0], "email"));
  EXPECT_EQ(uploadtest::intParameter(*events[0], "value"), 42);
  EXPECT_EQ(nameOf(*events[1]), "checkout_copy");
  EXPECT_EQ(uploadtest::intParameter(*events[1], "value"), 42);
}

// Upload-road components: the TCF client reads its data at every upload, and a successful upload
// with nothing left to send resumes a postponed on-device conversion query.
TEST_F(UploadEndToEndTest, UploadsApplyTheTCFDataAndASuccessfulOneResumesAPostponedConversionQuery) {
  // Stands in for both: counts the uploads, and resumes a postponed query when the road is idle.
  struct UploadListener final : APMEngineComponent {
    void uploadWillStart() override { ++uploads; }
    void uploadRoadDidFindNothingToSend() override {
      if (postponed.exchange(false)) ++resumed;
    }
    std::atomic<int> uploads{0};
    std::atomic<bool> postponed{false};
    std::atomic<int> resumed{0};
  };
  auto listener = std::make_shared<UploadListener>();
  APMSetEngineComponentEditorForTesting([listener](APMEngineComponentList components) {
    components.push_back(listener);
    return components;
  });
  startSDK();
  logSession();
  EXPECT_EQ(listener->uploads.load(), 0);
  listener->postponed = true;
  uploadAndWait(1);
  EXPECT_EQ(listener->uploads.load(), 1) << "the TCF client applies its data here";
  EXPECT_EQ(listener->resumed.load(), 1);
  EXPECT_FALSE(listener->postponed.load()) << "the postponed mark was taken";
}

// Preview headers set on the launch or opened-URL path turn server-side tagging on for the
// configuration and travel with the upload to the tagging server.
TEST_F(UploadEndToEndTest, PreviewHeadersSendUploadsToTheTaggingServerWithTheirHeader) {
  std::mutex mutex;
  std::vector<std::string> previews;
  collector_.server().Post("/sstg", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex);
    previews.push_back(request.get_header_value("X-Stg-Server-Preview"));
    response.status = 204;
  });
  platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_SSTG_UPLOAD_ENABLED", platform::Object(true));
  startSDK();
  auto config = fetchtest::configMessage({kAppID, 1});
  auto tagging = std::make_shared<APMPBSstgSetting>();
  const std::string taggingURL = "http://" + APMRemoteConfigNetwork::analyticsServiceHost() + "/sstg";
  APMNanoSetString(*tagging, APMPBSstgSetting::kUploadUrl, taggingURL);
  APMNanoSetInt32(*tagging, APMPBSstgSetting::kRolloutPercentage, 0);
  APMNanoSetMessage(*config, APMPBMeasurementConfig::kSstgSetting, tagging);
  onWorker([&] { ASSERT_TRUE(engine()->remoteConfigInstance()->updateMeasurementConfig(config)); });

  logSession();
  uploadAndWait(1);  // no preview and no rollout: the usual service
  APMEngineRegistry::setSSTGPreviewHeaders(platform::Dictionary{{"X-Stg-Server-Preview", platform::Object("key-7")}});
  logSession();
  onWorker([&] { engine()->uploadRoad().uploadData(); });
  ASSERT_TRUE(testsupport::waitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !previews.empty();
      },
      10));
  drain();
  EXPECT_EQ(collector_.uploads().size(), 1u);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(previews, std::vector<std::string>{"key-7"});
}

// The child of the killed-process test: logs through the public API into the given data
// directory, waits until the events are stored, and dies without any shutdown.
TEST_F(UploadEndToEndTest, DISABLED_KilledWriterChild) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as the child of the killed-process test";
  // The fixture's own directory goes unused here, and a killed process removes nothing as it ends.
  std::filesystem::remove_all(dataDirectory_.path());
  platform::Paths::setDataDirectory(std::getenv("APM_UPLOAD_E2E_KILLED_DIR"));
  APMPersistedConfig::resetSharedInstanceForTesting();
  startSDK();
  logSession();
  if (rowsNamed("level_start").size() != 1 || rowsNamed("select_content").size() != 1) _exit(3);
  raise(SIGKILL);
  _exit(4);
}

// Runs the killed writer over this test's data directory, then `between`, then the next start of
// the application over the same files, which must send what the writer stored.
void UploadEndToEndTest::expectStoredEventsTravelAfterAKill(const std::function<void()>& between) {
  testsupport::ChildProcess child("UploadEndToEndTest.DISABLED_KilledWriterChild",
                                  {"APM_UPLOAD_E2E_KILLED_DIR=" + dataDirectory_.path()});
  ASSERT_TRUE(child.started());
  auto status = child.wait(120);
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "exit status " << *status;
  between();

  startSDK();
  uploadAndWait(1);
  std::vector<std::string> names;
  for (const auto& upload : collector_.uploads()) {
    for (const auto& event : appEvents(upload)) names.push_back(nameOf(*event));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"level_start", "select_content"}));
}

TEST_F(UploadEndToEndTest, EventsStoredBeforeAKillTravelOnTheNextStart) {
  expectStoredEventsTravelAfterAKill([] {});
}

// A preference file whose string holds a NUL byte once aborted every later start inside the
// property-list reader, so the stored events never left. Every preference file the writer left,
// and the standard one, is replaced by such a file before the next start.
TEST_F(UploadEndToEndTest, StoredEventsTravelWhenThePreferenceFilesHoldANulByte) {
  expectStoredEventsTravelAfterAKill([] {
    platform::UserDefaultsRegistry::resetForTesting();  // nothing cached from this process is written back
    const char damaged[] = "<plist><dict><key>k</key><string>a\0b</string></dict></plist>";
    // The writer's changes of its last moment may not have reached their files: the front's suite
    // is damaged whether or not it was written.
    std::set<std::string> files{platform::UserDefaultsRegistry::pathForSuite(""),
                                platform::UserDefaultsRegistry::pathForSuite(APMAnalyticsSuite::kSuiteName)};
    const auto directory = std::filesystem::path(*files.begin()).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(directory)) files.insert(entry.path());
    ASSERT_GT(files.size(), 2u) << "the writer left no preference files";
    for (const auto& file : files) {
      std::ofstream(file, std::ios::binary | std::ios::trunc).write(damaged, sizeof damaged - 1);
    }
  });
}

// A host process of the two-process test, on the data directory and collector it is given. One
// line answers each command: "log N" logs N events tagged with its tag and answers "stored" once
// they are; "upload" makes one upload attempt and answers "posted" when a request went out, else
// "idle"; "settle" answers "settled" once no request of its own is out; "quit" ends it.
TEST_F(UploadEndToEndTest, DISABLED_HostProcessOnSharedData) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as a child of the two-process test";
  platform::Paths::setDataDirectory(std::getenv("APM_SHARED_DIR"));
  APMPersistedConfig::resetSharedInstanceForTesting();
  startSDK();
  APMRemoteConfigNetwork::setAnalyticsServiceHost(std::string("127.0.0.1:") + std::getenv("APM_SHARED_PORT"));
  const std::string tag = std::getenv("APM_SHARED_TAG");
  ASSERT_TRUE(testsupport::sendToParent("ready"));
  int64_t logged = 0;
  while (auto command = testsupport::receiveFromParent(120)) {
    if (command->starts_with("log ")) {
      for (int i = std::stoi(command->substr(4)); i > 0; --i) {
        DUDUravodazo::logEventWithName("shared_data", {{"tag", platform::Object(tag)}, {"seq", platform::Object(logged++)}});
      }
      drain();
      testsupport::sendToParent("stored");
    } else if (*command == "upload") {
      bool posted = false;
      onWorker([&] {
        engine()->uploadRoad().uploadData();
        posted = engine()->fetch().isNetworkRequestPending();
      });
      testsupport::sendToParent(posted ? "posted" : "idle");
    } else if (*command == "settle") {
      testsupport::waitFor([&] {
        bool pending = true;
        onWorker([&] { pending = engine()->fetch().isNetworkRequestPending(); });
        return !pending;
      }, 60);
      drain();
      testsupport::sendToParent("settled");
    } else {
      break;
    }
  }
}

// Two processes on one data directory share the stored bundles: while one sends them, the other
// finds nothing to send, so each event arrives once, and none is lost.
TEST_F(UploadEndToEndTest, TwoProcessesOnOneDataDirectorySendEveryEventOnce) {
  const std::string port = APMRemoteConfigNetwork::analyticsServiceHost().substr(std::string("127.0.0.1:").size());
  auto release = std::make_shared<platform::Semaphore>();
  auto firstHeld = std::make_shared<std::atomic<bool>>(false);
  collector_.setBeforeReply([release, firstHeld] {
    if (!firstHeld->exchange(true)) release->wait(60);  // the first reply waits for the test
  });
  std::map<std::string, std::unique_ptr<testsupport::ChildProcess>> hosts;
  auto ask = [&](const std::string& host, const std::string& command) {
    EXPECT_TRUE(hosts.at(host)->send(command)) << host << " " << command;
    return hosts.at(host)->receive(120).value_or("<no answer>");
  };
  for (const char* tag : {"a", "b"}) {
    hosts[tag] = std::make_unique<testsupport::ChildProcess>(
        "UploadEndToEndTest.DISABLED_HostProcessOnSharedData",
        std::vector<std::string>{"APM_SHARED_DIR=" + dataDirectory_.path(), "APM_SHARED_PORT=" + port,
                                 std::string("APM_SHARED_TAG=") + tag});
    ASSERT_EQ(hosts[tag]->receive(120), std::optional<std::string>("ready")) << tag;
    ASSERT_EQ(ask(tag, "log 200"), "stored") << tag;
  }

  ASSERT_EQ(ask("a", "upload"), "posted");
  ASSERT_TRUE(testsupport::waitFor([&] { return !collector_.uploads().empty(); }, 60));
  EXPECT_EQ(ask("b", "upload"), "idle") << "the bundles being sent are not sent again";
  release->signal();
  EXPECT_EQ(ask("a", "settle"), "settled");
  for (const char* tag : {"b", "a"}) {
    ask(tag, "upload");
    EXPECT_EQ(ask(tag, "settle"), "settled") << tag;
  }
  for (auto& [tag, host] : hosts) host->send("quit");

  std::map<std::pair<std::string, int64_t>, int> arrivals;
  for (const auto& upload : collector_.uploads()) {
    for (const auto& event : appEvents(upload)) {
      ++arrivals[{uploadtest::textParameter(*event, "tag").value_or(""), uploadtest::intParameter(*event, "seq").value_or(-1)}];
    }
  }
  EXPECT_EQ(arrivals.size(), 400u) << "every event arrived";
  for (const auto& [event, count] : arrivals) EXPECT_EQ(count, 1) << event.first << event.second;
  for (auto& [tag, host] : hosts) EXPECT_TRUE(host->wait(120).has_value()) << tag;
}

}  // namespace
}  // namespace fronttest
