#include "platform/Bundle.h"

#include <gtest/gtest.h>

#include <fstream>

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

}  // namespace
