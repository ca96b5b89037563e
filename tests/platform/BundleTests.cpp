#include "platform/Bundle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/PropertyList.h"

namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Bundle::reset(); }
  void TearDown() override { platform::Bundle::reset(); }
};

TEST_F(BundleTest, EverythingIsEmptyUntilTheHostSetsIt) {
  EXPECT_EQ(platform::Bundle::bundleIdentifier(), "");
  EXPECT_EQ(platform::Bundle::shortVersion(), "");
  EXPECT_EQ(platform::Bundle::buildVersion(), "");
  EXPECT_TRUE(platform::Bundle::infoDictionary().empty());
  EXPECT_FALSE(platform::Bundle::appStoreReceiptPath().has_value());
  EXPECT_FALSE(platform::Bundle::pathForResource("Anything", "plist").has_value());
}

TEST_F(BundleTest, TypedSettersAndTheInfoDictionaryAgree) {
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}, {"Custom", 3}});
  platform::Bundle::setShortVersion("2.4.1");
  platform::Bundle::setBuildVersion("241");

  platform::Dictionary info = platform::Bundle::infoDictionary();
  EXPECT_EQ(info["CFBundleShortVersionString"].stringValue(), "2.4.1");
  EXPECT_EQ(info["CFBundleVersion"].stringValue(), "241");
  EXPECT_EQ(info["Custom"].integerValue(), 3);
  EXPECT_EQ(platform::Bundle::bundleIdentifier(), "com.example.app");

  // A non-string under a typed key must not be reported as a version.
  platform::Bundle::setInfoDictionaryValue("CFBundleShortVersionString", 7);
  EXPECT_EQ(platform::Bundle::shortVersion(), "");
  platform::Bundle::setInfoDictionaryValue("Custom", platform::Object());
  EXPECT_TRUE(platform::Bundle::objectForInfoDictionaryKey("Custom").isNull());
}

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
      {"Service", "plist", true},  {"Service.plist", "", true}, {"README", "", true},
      {"Missing", "plist", false}, {"..", "", false},           {"../outside", "plist", false},
      {"", "plist", false},        {".", "", false},
  };
  for (const auto& c : cases) {
    auto path = platform::Bundle::pathForResource(c.name, c.type);
    EXPECT_EQ(path.has_value(), c.found) << c.name << "." << c.type;
  }
  EXPECT_EQ(*platform::Bundle::pathForResource("Service", "plist"), dir.path() + "/Service.plist");
  std::remove((dir.path() + "/../outside.plist").c_str());
}

TEST_F(BundleTest, InfoPlistFilesReplaceTheDictionaryOnlyWhenTheyAreValid) {
  testsupport::TempDir dir;
  std::string good = dir.path() + "/Info.plist";
  ASSERT_TRUE(platform::PropertyList::writeFile(
      good, platform::Dictionary{{"CFBundleIdentifier", "com.example.plist"}, {"CFBundleShortVersionString", "3.1"}},
      platform::PropertyList::Format::XML));
  std::string corrupt = dir.path() + "/Corrupt.plist";
  std::ofstream(corrupt) << "<plist><dict><key>x";
  std::string array = dir.path() + "/Array.plist";
  ASSERT_TRUE(platform::PropertyList::writeFile(array, platform::Array{1, 2}));

  platform::Error error;
  ASSERT_TRUE(platform::Bundle::loadInfoPlist(good, &error));
  EXPECT_EQ(platform::Bundle::bundleIdentifier(), "com.example.plist");
  EXPECT_EQ(platform::Bundle::shortVersion(), "3.1");

  for (const auto& path : {corrupt, array, dir.path() + "/Missing.plist"}) {
    platform::Error failure;
    EXPECT_FALSE(platform::Bundle::loadInfoPlist(path, &failure)) << path;
    EXPECT_FALSE(failure.empty()) << path;
    EXPECT_EQ(platform::Bundle::bundleIdentifier(), "com.example.plist") << path;
  }
}

TEST_F(BundleTest, ReceiptPathIsNoneUntilSetAndCanBeCleared) {
  platform::Bundle::setAppStoreReceiptPath("/tmp/receipt/sandboxReceipt");
  EXPECT_EQ(platform::Bundle::appStoreReceiptPath().value_or(""), "/tmp/receipt/sandboxReceipt");
  platform::Bundle::setAppStoreReceiptPath(std::nullopt);
  EXPECT_FALSE(platform::Bundle::appStoreReceiptPath().has_value());
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
