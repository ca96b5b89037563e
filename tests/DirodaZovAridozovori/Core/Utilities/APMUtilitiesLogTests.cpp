#include "DirodaZovAridozovori/Core/Utilities/APMUtilitiesLog.h"

#include <gtest/gtest.h>

#include "APMMonitor.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "TestSupport.h"

namespace {

TEST(APMUtilitiesLogTests, RefusalsReachTheMonitorSample) {
  testsupport::ScopedDataDirectory data;
  APMMonitor::resetSharedForTesting();
  ASSERT_FALSE(APMDecimalNumberFromString("not a number").has_value());

  // Level 2 is monitorable: the refusal is the sample's only entry, with its string context encoded as "-".
  platform::Object sample = APMMonitor::shared()->sampledDataForTesting();
  ASSERT_TRUE(sample.isArray());
  ASSERT_EQ(sample.arrayValue().size(), 4u);
  EXPECT_EQ(sample.arrayValue()[0], platform::Object("-"));
  EXPECT_EQ(sample.arrayValue()[1], platform::Object(1));
  EXPECT_EQ(sample.arrayValue()[2], platform::Object("1E_111500:String value does not represent a numeric value. Value"));
  APMMonitor::resetSharedForTesting();
}

}  // namespace
