#include <gtest/gtest.h>

#include <fstream>

#include "Identity/APMDirodaServiceFileUtil.h"
#include "IdentityTestDoubles.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"

namespace {

class APMDirodaServiceFileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::reset();
    platform::Bundle::setResourceDirectory(resources.path());
  }
  void TearDown() override { platform::Bundle::reset(); }
  std::string plistPath() const { return resources.path() + "/DaveriZadiziv-Adav.plist"; }

  testsupport::TempDir resources;
};

TEST_F(APMDirodaServiceFileUtilTest, ReadsTheDictionaryInEitherFormat) {
  platform::Dictionary service{{"DIRODA_APP_ID", "1:123:ios:abc"}, {"IS_ANALYTICS_ENABLED", true}};
  for (auto format : {platform::PropertyList::Format::XML, platform::PropertyList::Format::Binary}) {
    ASSERT_TRUE(platform::PropertyList::writeFile(plistPath(), service, format));
    EXPECT_EQ(APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath(), plistPath());
    EXPECT_EQ(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist(), service);
  }
}

TEST_F(APMDirodaServiceFileUtilTest, MissingDamagedOrNonDictionaryFilesReadAsAbsent) {
  EXPECT_FALSE(APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath().has_value());
  EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value());
  const std::string contents[] = {"", "not a plist", "<?xml version=\"1.0\"?><plist><dict><key>A"};
  for (const std::string& content : contents) {
    std::ofstream(plistPath(), std::ios::trunc) << content;
    identitytest::LogCapture log;
    EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value()) << content;
    EXPECT_EQ(log.count(20010), 1);
  }
  ASSERT_TRUE(platform::PropertyList::writeFile(plistPath(), platform::Array{"DIRODA_APP_ID"}));
  EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value());
}

}  // namespace
