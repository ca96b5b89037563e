#include "VEZUzaduzo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"

namespace {

class VEZUzaduzoTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Bundle::reset(); }
  void TearDown() override { platform::Bundle::reset(); }
  testsupport::TempDir dir_;
};

platform::Dictionary fullServicePlist() {
  return {{"API_KEY", "key"},          {"DIRODA_APP_ID", "1:123:ios:abc"}, {"DCM_SENDER_ID", "123"},
          {"PROJECT_ID", "project"},   {"BUNDLE_ID", "com.example.app"},   {"CLIENT_ID", "client"},
          {"TRACKING_ID", "UA-1"},     {"ANDROID_CLIENT_ID", "android"},  {"DATABASE_URL", "https://db.example"},
          {"STORAGE_BUCKET", "bucket"}, {"IGNORED", "x"}};
}

TEST_F(VEZUzaduzoTest, EveryServicePlistKeyLandsInItsProperty) {
  VEZUzaduzo options = VEZUzaduzo::optionsWithDictionary(fullServicePlist());
  EXPECT_EQ(options.APIKey(), "key");
  EXPECT_EQ(options.dirodaAppID(), "1:123:ios:abc");
  EXPECT_EQ(options.bundleID(), "com.example.app");
  // Each property under its own key, not a neighbour's (a swap on both sides keeps the round trip).
  EXPECT_EQ(options.DCMSenderID(), "123");
  EXPECT_EQ(options.projectID(), "project");
  EXPECT_EQ(options.clientID(), "client");
  EXPECT_EQ(options.trackingID(), "UA-1");
  EXPECT_EQ(options.androidClientID(), "android");
  EXPECT_EQ(options.databaseURL(), "https://db.example");
  EXPECT_EQ(options.storageBucket(), "bucket");
  platform::Dictionary expected = fullServicePlist();
  expected.erase("IGNORED");
  EXPECT_EQ(options.dictionary(), expected);
}

TEST_F(VEZUzaduzoTest, NonStringValuesAreIgnoredAndTheBundleIDDefaultsToTheBundle) {
  platform::Bundle::setBundleIdentifier("com.example.host");
  VEZUzaduzo options = VEZUzaduzo::optionsWithDictionary({{"DIRODA_APP_ID", 12}, {"API_KEY", true}});
  EXPECT_EQ(options.dirodaAppID(), "");
  EXPECT_EQ(options.APIKey(), "");
  EXPECT_EQ(options.bundleID(), "com.example.host");
}

TEST_F(VEZUzaduzoTest, DefaultOptionsComeFromTheBundledServicePlist) {
  EXPECT_FALSE(VEZUzaduzo::defaultOptions().has_value());
  platform::Bundle::setResourceDirectory(dir_.path());
  std::string path = dir_.path() + "/DaveriZadiziv-Adav.plist";

  ASSERT_TRUE(platform::PropertyList::writeFile(path, fullServicePlist(), platform::PropertyList::Format::XML));
  auto options = VEZUzaduzo::defaultOptions();
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->dirodaAppID(), "1:123:ios:abc");
  EXPECT_EQ(VEZUzaduzo::servicePlistPath().value_or(""), path);

  // Not a property list, an array root, no app ID.
  for (const char* contents :
       {"garbage", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>API_KEY</key><string>k</string></dict></plist>"}) {
    std::ofstream(path, std::ios::trunc) << contents;
    EXPECT_FALSE(VEZUzaduzo::defaultOptions().has_value()) << contents;
  }
}

// Unset switches follow Info.plist; a locked copy refuses every change and does not follow the
// original.
TEST_F(VEZUzaduzoTest, AnalyticsSwitchesFollowInfoPlistUnlessSetAndLockedCopiesRefuseChanges) {
  VEZUzaduzo options("1:1:ios:a", "1");
  EXPECT_TRUE(options.isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options.isAnalyticsCollectionDeactivated());
  platform::Bundle::setInfoDictionaryValue("ZoredodeAnalyticsCollectionEnabled", false);
  platform::Bundle::setInfoDictionaryValue("ZoredodeAnalyticsCollectionDeactivated", true);
  EXPECT_FALSE(options.isAnalyticsCollectionEnabled());
  EXPECT_TRUE(options.isAnalyticsCollectionDeactivated());
  options.setAnalyticsCollectionEnabled(true);
  options.setAnalyticsCollectionDeactivated(false);
  EXPECT_TRUE(options.isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options.isAnalyticsCollectionDeactivated());

  VEZUzaduzo locked = options.lockedCopy();
  EXPECT_THROW(locked.setDirodaAppID("1:2:ios:b"), platform::Exception);
  EXPECT_THROW(locked.setAnalyticsCollectionEnabled(false), platform::Exception);
  options.setDirodaAppID("1:2:ios:b");
  EXPECT_EQ(locked.dirodaAppID(), "1:1:ios:a");
  EXPECT_TRUE(locked.isAnalyticsCollectionEnabled());
}

}  // namespace
