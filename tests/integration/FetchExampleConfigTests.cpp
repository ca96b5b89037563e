// The example collector's configuration service: its text format, and the engine fetching the
// shipped example configuration from it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>

#include "../../examples/ExampleConfigService.h"
#include "../DirodaZovAridozovori/Engine/EngineTestFixture.h"
#include "Fetch/APMEngineFetch.h"
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
    onWorker([&] { engine().fetch().fetchRemoteConfig(); });
    ASSERT_TRUE(testsupport::waitFor([&] { return served().size() > before; }, 10));
    ASSERT_TRUE(testsupport::waitFor([&] { return !engine().fetch().isNetworkRequestPending(); }, 10));
    drain();
  }

  std::mutex servedMutex_;
  std::vector<int> served_;
  integrationtest::Collector collector_;  // last: its server stops before what its routes write to
};

// What the engine keeps after an error reply is the configuration fetch tests' business.
TEST_F(ExampleConfigServiceTest, ServesTheFileWithValidatorsAndAnErrorWhenItIsMissingOrBroken) {
  const auto file = std::filesystem::path(dataDirectory_.path()) / "config.txt";
  start();
  fetch();
  std::ofstream(file) << "version: 2\nbroken {\n";
  fetch();
  std::filesystem::copy_file(kShippedConfig, file, std::filesystem::copy_options::overwrite_existing);
  fetch();
  fetch();
  EXPECT_EQ(served(), (std::vector<int>{404, 500, 200, 304}));
  int64_t version = 0;
  onWorker([&] { version = engine().remoteConfigInstance()->message().version(); });
  EXPECT_EQ(version, 7);
}

}  // namespace
}  // namespace enginetest
