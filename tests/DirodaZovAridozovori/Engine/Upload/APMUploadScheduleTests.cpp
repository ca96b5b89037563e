#include "Upload/APMUploadSchedule.h"

#include <gtest/gtest.h>

namespace {

constexpr double kNow = 1000000;

// expected: seconds after kNow (none: nothing scheduled).
struct ScheduleCase {
  const char* name;
  double success, failure, latest;
  bool debug, realtime;
  int32_t retryCount;
  double expected;
  bool none;
};

TEST(APMUploadScheduleTest, NextUploadFollowsIntervalDelayRetryAndDebugRules) {
  const ScheduleCase cases[] = {
      {"no data schedules nothing", 0, 0, 0, false, false, 6, 0, true},
      {"a recent success waits a whole interval", kNow - 600, 0, kNow, false, false, 6, 3000, false},
      {"new data waits the initial delay", 0, 0, kNow - 5, false, false, 6, 10, false},
      {"a success long ago counts as none", kNow - 7200, 0, kNow - 5, false, false, 6, 10, false},
      // base + 15 = now - 3985; + 1800 = now - 2185 (not after F); + 3600 = now + 1415.
      {"after a failure the first doubling past it", 0, kNow - 100, kNow - 4000, false, false, 6, 1415, false},
      // base + 15 = now - 39985; the retries add 1800, 3600, 7200 (now - 27385) and 14400 (now - 12985).
      // Each failure lies where steps growing by 1800 (or by doubling capped early) would stop sooner.
      {"the third retry waits twice the second", 0, kNow - 31985, kNow - 40000, false, false, 6, -27385, false},
      {"the fourth retry waits twice the third", 0, kNow - 24985, kNow - 40000, false, false, 6, -12985, false},
      // 1800 * (1 + 2 + 4 + 8 + 16 + 32) = 113400 s never passes a failure 199975 s after the data.
      {"retries used up schedule nothing", 0, kNow - 10, kNow - 200000, false, false, 6, 0, true},
      {"no retries configured schedule nothing", 0, kNow - 10, kNow - 20, false, false, 0, 0, true},
      {"a failure before the newest data is forgotten", 0, kNow - 50, kNow - 5, false, false, 6, 10, false},
      {"debug mode uploads one debug interval after the data", 0, 0, kNow - 5, true, false, 6, -4, false},
      {"real-time data uses the real-time interval", kNow - 5, 0, kNow, false, true, 6, 5, false},
      {"data stamped in the future counts as past", 0, 0, kNow + 100, false, false, 6, -85, false},
  };
  for (const auto& c : cases) {
    APMUploadScheduleInputs in;
    in.now = kNow;
    in.lastSuccessfulUploadTimestamp = c.success;
    in.lastFailedUploadTimestamp = c.failure;
    in.latestDataTimestamp = c.latest;
    in.debugMode = c.debug;
    in.hasRealtimeData = c.realtime;
    in.retryCount = c.retryCount;
    const double next = APMNextUploadingTime(in);
    if (c.none) {
      EXPECT_EQ(next, 0) << c.name;
    } else {
      EXPECT_DOUBLE_EQ(next, kNow + c.expected) << c.name;
    }
  }
}

TEST(APMUploadScheduleTest, BackoffHoldsUploadsUntilItsPeriodEnds) {
  const struct { const char* name; double next; double backoff; double expected; } cases[] = {
      {"no back-off", kNow + 10, 0, kNow + 10},
      {"a 503 a minute ago holds for twelve hours", kNow + 10, kNow - 60, kNow - 60 + 43200},
      {"an expired back-off changes nothing", kNow + 10, kNow - 50000, kNow + 10},
      {"an upload planned after the back-off stays", kNow + 90000, kNow - 60, kNow + 90000},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(APMUploadTimeAfterBackoff(c.next, c.backoff, 43200, kNow), c.expected) << c.name;
  }
}

TEST(APMUploadScheduleTest, AlarmDelayAndReplyClassification) {
  EXPECT_DOUBLE_EQ(APMUploadAlarmDelay(kNow, kNow), 0.001) << "a due upload still goes through the queue";
  EXPECT_DOUBLE_EQ(APMUploadAlarmDelay(kNow - 5, kNow), -5);
  EXPECT_DOUBLE_EQ(APMUploadAlarmDelay(kNow + 7, kNow), 7);

  const struct { int64_t status; bool success, backoff; } replies[] = {
      {200, true, false}, {204, true, false}, {201, false, false}, {0, false, false},
      {429, false, true}, {503, false, true}, {500, false, false}, {404, false, false}};
  for (const auto& reply : replies) {
    EXPECT_EQ(APMIsSuccessfulUploadStatus(reply.status), reply.success) << reply.status;
    EXPECT_EQ(APMIsBackoffUploadStatus(reply.status), reply.backoff) << reply.status;
  }
}

}  // namespace
