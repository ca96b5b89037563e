#include "platform/Bundle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Bundle::reset(); }
  void TearDown() override { platform::Bundle::reset(); }
};

TEST_F(BundleTest, ResourceLookupFindsOnlyRegularFilesInsideTheDirectory) {
  testsupport::TempDir dir;
  std::ofstream(dir.path() + "/Service.plist") << "x";
  std::ofstream(dir.path() + "/README") << "x";
  std::ofstream(dir.path() + "/../outside.plist") << "x";
  platform::Bundle::setResourceDirectory(dir.path());

  struct Case {
    std::string name, type;
    bool found;
  } cases[] = {
      {"Service", "plist", true}, {"README", "", true},          {"Missing", "plist", false},
      {"..", "", false},          {"../outside", "plist", false}, {".", "", false},
  };
  for (const auto& c : cases) {
    auto path = platform::Bundle::pathForResource(c.name, c.type);
    EXPECT_EQ(path.has_value(), c.found) << c.name << "." << c.type;
  }
  EXPECT_EQ(*platform::Bundle::pathForResource("Service", "plist"), dir.path() + "/Service.plist");
  std::remove((dir.path() + "/../outside.plist").c_str());
}

TEST_F(BundleTest, ConcurrentWritersAndReadersSeeWholeValues) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        platform::Bundle::setInfoDictionaryValue("key" + std::to_string(t), i);
        std::string version = platform::Bundle::shortVersion();
        EXPECT_TRUE(version.empty() || version == "1.0");
        platform::Bundle::setShortVersion("1.0");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::Dictionary info = platform::Bundle::infoDictionary();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(info["key" + std::to_string(t)].integerValue(), 499);
}

}  // namespace
