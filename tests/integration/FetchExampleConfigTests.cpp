// The example collector's configuration service: its text format, and the engine fetching the
// shipped example configuration from it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../../examples/ExampleConfigService.h"
#include "../DirodaZovAridozovori/Engine/EngineTestFixture.h"
#include "platform/Gzip.h"

namespace enginetest {
namespace {

const std::filesystem::path kShippedConfig =
    std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "examples" / "measurement_config.txt";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ExampleConfigTextTest, ShippedConfigurationReads) {
  std::string error;
  auto config = example::ConfigTextReader(readFile(kShippedConfig)).read(&error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(APMNanoGetInt64(*config, APMPBMeasurementConfig::kVersion), 7);
  EXPECT_FALSE(APMNanoGetString(*config, APMPBMeasurementConfig::kAppId).has_value());
  auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventConfig>>(*config, APMPBMeasurementConfig::kEventConfigs);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(APMNanoGetString(*(*events)[0], APMPBEventConfig::kName), std::optional<std::string>("debug_probe"));
  EXPECT_TRUE(APMNanoGetBool(*(*events)[0], APMPBEventConfig::kIsBlocklisted));
}

TEST(ExampleConfigTextTest, TextFormReadsFieldsAndNamesTheLineOfAMistake) {
  struct Case {
    const char* text;
    bool ok;
    std::string errorStart;
  } cases[] = {
      {"version: 3\napp_id: \"1:2:macos:3\"\nsettings { name: \"a\" value: \"b\" }  # comment\n", true, ""},
      {"event_configs { name: \"x\" is_blocklisted: false is_custom_conversion: true }", true, ""},
      {"version: 3\nversion 4\n", false, "line 2: ':' was expected"},
      {"version: three\n", false, "line 1: version must be a whole number"},
      {"\n\nsettings { name: \"a\" colour: \"b\" }\n", false, "line 3: unknown field colour"},
      {"settings { name: \"unterminated }\n", false, "line 1: name must be a quoted text"},
      {"event_configs { is_blocklisted: maybe }", false, "line 1: is_blocklisted must be true or false"},
      {"settings { name: \"a\"", false, "line 1: a 'name: value' pair"},
  };
  for (const auto& c : cases) {
    std::string error;
    auto config = example::ConfigTextReader(c.text).read(&error);
    EXPECT_EQ(config != nullptr, c.ok) << c.text << " -> " << error;
    if (!c.ok) {
      EXPECT_EQ(error.rfind(c.errorStart, 0), 0u) << c.text << " -> " << error;
    }
  }
}

class ExampleConfigServiceTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    example::serveConfiguration(server_, (std::filesystem::path(dataDirectory_.path()) / "config.txt").string(),
                                [this](int status, int64_t) {
                                  std::lock_guard<std::mutex> lock(servedMutex_);
                                  served_.push_back(status);
                                });
    // A fetch is followed by an upload, and its answer by another while data waits: an event may
    // leave the raw-event table for the collector at any moment, so the collector keeps the names.
    server_.Post("/a", [this](const httplib::Request&, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      // The server library may already have undone the gzip content encoding.
      if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) body = platform::Gzip::inflate(body).value_or(platform::Data{});
      auto batch = APMPBMeasurementBatch::fromBuffer(body);
      std::lock_guard<std::mutex> lock(servedMutex_);
      if (batch) {
        for (const auto& bundle : APMNanoGetRepeatedField<std::shared_ptr<APMPBMeasurementBundle>>(
                                      *batch, APMPBMeasurementBatch::kBundles)
                                      .value_or(std::vector<std::shared_ptr<APMPBMeasurementBundle>>{})) {
          for (const auto& event : APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, APMPBMeasurementBundle::kEvents)
                                       .value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
            uploaded_.push_back(APMNanoGetString(*event, APMPBEvent::kName).value_or(""));
          }
        }
      }
      response.status = 204;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(port_));
    APMRemoteConfig::setAnalyticsServiceScheme("http");
  }
  void TearDown() override {
    EngineTest::TearDown();
    server_.stop();
    thread_.join();
    APMRemoteConfig::setAnalyticsServiceScheme("https");
  }

  std::vector<int> served() {
    std::lock_guard<std::mutex> lock(servedMutex_);
    return served_;
  }

  // The engine only fetches while no upload is in flight: the two share the request flag.
  void fetch() {
    ASSERT_TRUE(testsupport::waitFor([&] { return networkReady(); }, 10));
    const size_t before = served().size();
    onWorker([&] { engine().fetchRemoteConfig(); });
    ASSERT_TRUE(testsupport::waitFor([&] { return served().size() > before; }, 10));
    ASSERT_TRUE(testsupport::waitFor([&] { return !engine().isNetworkRequestPending(); }, 10));
    drain();
  }

  bool networkReady() {
    bool ready = false;
    onWorker([&] { ready = engine().isNetworkReadyForRequest(); });
    return ready;
  }

  // Stored events of that name: those still in the raw-event table and those the collector received.
  // Counted on the worker queue, where bundling happens, at a moment when no upload is in flight.
  size_t storedOrUploaded(const std::string& name) {
    drain();
    size_t count = 0;
    EXPECT_TRUE(testsupport::waitFor(
        [&] {
          bool counted = false;
          onWorker([&] {
            if (!engine().isNetworkReadyForRequest()) return;
            count = rowsWithName(storedRows(engine()), name).size();
            std::lock_guard<std::mutex> lock(servedMutex_);
            count += static_cast<size_t>(std::count(uploaded_.begin(), uploaded_.end(), name));
            counted = true;
          });
          return counted;
        },
        10));
    return count;
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex servedMutex_;
  std::vector<int> served_;
  std::vector<std::string> uploaded_;
};

TEST_F(ExampleConfigServiceTest, EngineFetchesTheShippedConfigurationThenHearsItIsUnchanged) {
  std::filesystem::copy_file(kShippedConfig, std::filesystem::path(dataDirectory_.path()) / "config.txt");
  start();
  fetch();
  fetch();
  EXPECT_EQ(served(), (std::vector<int>{200, 304}));
  int64_t version = 0;
  onWorker([&] { version = engine().remoteConfigInstance()->version(); });
  EXPECT_EQ(version, 7);
  logPublic("debug_probe");
  logPublic("level_up");
  EXPECT_EQ(storedOrUploaded("debug_probe"), 0u);
  EXPECT_EQ(storedOrUploaded("level_up"), 1u);
}

TEST_F(ExampleConfigServiceTest, MissingOrBrokenFileIsAnErrorReplyAndChangesNothing) {
  start();
  fetch();  // no file yet: 404, the default configuration stays
  std::ofstream(std::filesystem::path(dataDirectory_.path()) / "config.txt") << "version: 2\nbroken {\n";
  fetch();
  EXPECT_EQ(served(), (std::vector<int>{404, 500}));
  int64_t version = 0;
  onWorker([&] { version = engine().remoteConfigInstance()->version(); });
  EXPECT_EQ(version, -1) << "no configuration was stored";
  EXPECT_TRUE(loggedCode(23128)) << "the 500 counts as a failed fetch";
}

}  // namespace
}  // namespace enginetest
