#include <gtest/gtest.h>

#include "APMUserDefaults.h"
#include "TestSupport.h"
#include "platform/UserDefaults.h"

using platform::Object;

TEST(APMUserDefaults, TypedAccessAndSuitesFollowTheDataDirectory) {
  platform::UserDefaults::resetForTesting();
  auto shared = APMUserDefaults::sharedUserDefaults();
  APMUserDefaults suite("APMAnalyticsSuiteName");
  {
    testsupport::ScopedDataDirectory first;
    shared->setInteger(5, "/diroda/measurement/n");
    shared->setBool(true, "/diroda/measurement/b");
    suite.setDouble(1.5, "d");
    suite.setObject(Object("text"), "s");
    EXPECT_EQ(shared->integerForKey("/diroda/measurement/n"), 5);
    EXPECT_TRUE(shared->boolForKey("/diroda/measurement/b"));
    EXPECT_EQ(shared->stringForKey("/diroda/measurement/n"), std::nullopt);
    EXPECT_TRUE(shared->numberForKey("/diroda/measurement/n").has_value());
    EXPECT_TRUE(suite.objectForKey("/diroda/measurement/n").isNull()) << "suites are separate";
    EXPECT_EQ(suite.stringForKey("s"), "text");
    suite.setObject(Object(), "s");
    EXPECT_EQ(suite.stringForKey("s"), std::nullopt);
    ASSERT_TRUE(suite.synchronize());
    platform::UserDefaults::resetForTesting();
    EXPECT_DOUBLE_EQ(suite.doubleForKey("d"), 1.5);
    suite.clearAllData();
    EXPECT_DOUBLE_EQ(suite.doubleForKey("d"), 0);
    shared->removeObjectForKey("/diroda/measurement/b");
    EXPECT_FALSE(shared->boolForKey("/diroda/measurement/b"));
  }
  testsupport::ScopedDataDirectory second;
  EXPECT_EQ(shared->integerForKey("/diroda/measurement/n"), 0) << "a new data directory starts empty";
  platform::UserDefaults::resetForTesting();
}
