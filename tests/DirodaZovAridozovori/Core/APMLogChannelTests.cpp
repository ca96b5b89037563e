#include <gtest/gtest.h>

#include "APMCoreLog.h"
#include "APMLogCapture.h"
#include "APMLogChannel.h"
#include "CoreTestFixture.h"

namespace {

using platform::Array;
using platform::Date;
using platform::Object;

// Each named level against the number a line carries and what the monitor does with it. The
// numbers are those of stored samples and hosts' diagnostics, so a renamed or reordered level
// would change what is printed and sampled.
TEST(APMLogLevelNames, NumbersAndWhatEachLevelDoes) {
  struct Row {
    APMLogLevel level;
    int64_t number;
    bool printed, sampled;
    int64_t dulLevel;
  };
  const Row rows[] = {
      {APMLogLevel::kError, 0, true, false, 3},
      {APMLogLevel::kErrorSampled, 1, true, true, 3},
      {APMLogLevel::kErrorSampledOnly, 2, false, true, 3},
      {APMLogLevel::kWarning, 3, true, false, 4},
      {APMLogLevel::kWarningSampled, 4, true, true, 4},
      {APMLogLevel::kWarningSampledOnly, 5, false, true, 4},
      {APMLogLevel::kNotice, 6, true, false, 5},
      {APMLogLevel::kDebug, 7, true, false, 7},
      {APMLogLevel::kVerbose, 8, true, false, 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(APMLogLevelNumber(row.level), row.number);
    EXPECT_EQ(!APMLogLevelIsSilent(row.level), row.printed);
    EXPECT_EQ(APMLogLevelIsMonitorable(row.level), row.sampled);
    EXPECT_EQ(DULLoggerLevelNumber(APMLogLevelToDULLoggerLevel(row.level)), row.dulLevel);
  }
  EXPECT_EQ(DULLoggerLevelNumber(APMLogLevelToDULLoggerLevel(APMLogLevel{-1})), 3);
}

using APMLogChannelTest = CoreTest;

// The sink takes every line in place of the monitor, silent and verbose ones included, with the
// level's and the code's numbers; a nested capture hands the lines back to the one it replaced,
// and without a sink lines reach the console through the monitor again.
TEST_F(APMLogChannelTest, SinkSeesEveryLineAndHandsBackToTheMonitor) {
  {
    testsupport::APMLogCapture outer;
    {
      testsupport::APMLogCapture inner;
      APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kNotDecimalString, "silent", "text");
      APMLog(APMLogLevel::kVerbose, APMCoreLogCode::kAlarmFired, "verbose", 250);
      auto got = inner.lines();
      ASSERT_EQ(got.size(), 2u);
      EXPECT_EQ(got[0].level, 2);
      EXPECT_EQ(got[0].code, 26001);
      EXPECT_EQ(got[0].message, "silent");
      ASSERT_EQ(got[0].contexts.size(), 1u);
      EXPECT_EQ(got[0].contexts[0].object()->stringValue(), "text");
      EXPECT_EQ(got[1].level, 8);
      EXPECT_EQ(got[1].code, 2001);
      EXPECT_TRUE(outer.lines().empty());
    }
    APMLog(APMLogLevel::kWarning, APMCoreLogCode::kSyncTaskFailed, "to the outer one");
    EXPECT_EQ(outer.codes(), std::vector<int64_t>{30004});
  }
  EXPECT_TRUE(lines().empty()) << "nothing captured reached the console";

  APMLog(APMLogLevel::kWarning, APMCoreLogCode::kSyncTaskFailed, "Synchronous task failed. Block ID=", "b");
  EXPECT_EQ(lines(), std::vector<std::string>{line(30004, "Synchronous task failed. Block ID=: b")});
}

// Without a sink a line is filtered by the monitor: printed, sampled, or dropped by its level.
TEST_F(APMLogChannelTest, WithoutASinkTheMonitorDecides) {
  testsupport::ScopedFakeClock clock(1700000000.0);
  EXPECT_FALSE(APMLogWouldProcess(APMLogLevel::kDebug));
  EXPECT_TRUE(APMLogWouldProcess(APMLogLevel::kErrorSampledOnly));
  APMLog(APMLogLevel::kDebug, APMCoreLogCode::kAlarmFired, "dropped");
  APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kNoDeviceModel, "Failed to get device model");
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(
      APMMonitor::shared()->sampledDataForTesting(),
      Object(Array{Object(""), Object(1), Object("1E_111500:Failed to get device model"), Object(Date{1700000000.0})}));
  testsupport::APMLogCapture capture;
  EXPECT_TRUE(APMLogWouldProcess(APMLogLevel::kDebug)) << "a sink sees every level";
}

}  // namespace
