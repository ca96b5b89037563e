#include <gtest/gtest.h>

#include "../CoreTestFixture.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"

namespace {

using APMUtilitiesLogTests = CoreTest;

TEST_F(APMUtilitiesLogTests, RefusalsReachTheMonitorSample) {
  testsupport::ScopedFakeClock clock(1000.0);
  ASSERT_FALSE(APMDecimalNumberFromString("not a number").has_value());

  // Level 2 is monitorable: the refusal is the sample's only entry, with its string context encoded as "-".
  EXPECT_EQ(APMMonitor::shared()->sampledDataForTesting(),
            platform::Object(platform::Array{platform::Object("-"), platform::Object(1),
                                             platform::Object("1E_111500:String value does not represent a numeric value. Value"),
                                             platform::Object(platform::Date{1000.0})}));
}

}  // namespace
