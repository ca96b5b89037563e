// The example collector's configuration service: its text format, and the engine fetching the
// shipped example configuration from it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>

#include "../../examples/ExampleConfigService.h"
#include "../DirodaZovAridozovori/Engine/EngineTestFixture.h"
#include "LocalCollector.h"

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
    example::serveConfiguration(collector_.server(), (std::filesystem::path(dataDirectory_.path()) / "config.txt").string(),
                                [this](int status, int64_t) {
                                  std::lock_guard<std::mutex> lock(servedMutex_);
                                  served_.push_back(status);
                                });
    collector_.start();
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

  std::mutex servedMutex_;
  std::vector<int> served_;
  integrationtest::Collector collector_;  // last: its server stops before what its routes write to
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
