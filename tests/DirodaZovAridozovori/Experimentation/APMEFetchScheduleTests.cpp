// The fetch schedule on its own, over the experiment suite: the back-off pause the service asks
// for, and the first-fetch rule that holds for one call of a process only.

#include <gtest/gtest.h>

#include <memory>

#include "APMEFetchSchedule.h"
#include "ExperimentTestFixture.h"

namespace {

constexpr double kNow = 1700000000.0;

class APMEFetchScheduleTest : public ExperimentTest {
 protected:
  std::shared_ptr<APMUserDefaults> storage_ = std::make_shared<APMUserDefaults>("APMExperimentSuiteName");
};

}  // namespace

TEST_F(APMEFetchScheduleTest, ABackoffHoldsTheFetchForTwelveHoursFromWhenItWasAsked) {
  struct Row {
    const char* name;
    double backoff;  // 0: none stored
    double fetchTime;
    double expected;
  } rows[] = {
      {"no back-off", 0, kNow + 1800, kNow + 1800},
      {"asked an hour ago", kNow - 3600, kNow + 1800, kNow + 39600},
      // An overdue fetch (its time already past) shows where the pause ends.
      {"asked a second short of twelve hours ago", kNow - 43199, kNow - 100, kNow + 1},
      {"asked exactly twelve hours ago", kNow - 43200, kNow - 100, kNow - 100},
      {"fetch already later than the pause", kNow - 3600, kNow + 50000, kNow + 50000},
  };
  APMEFetchSchedule schedule(storage_, kNow);
  for (const auto& row : rows) {
    storage_->removeObjectForKey("APMExperimentFetchBackoffTimestamp");
    if (row.backoff) storage_->setDouble(row.backoff, "APMExperimentFetchBackoffTimestamp");
    EXPECT_DOUBLE_EQ(schedule.fetchTimeRespectingBackoff(row.fetchTime, kNow), row.expected) << row.name;
  }
}

TEST_F(APMEFetchScheduleTest, OnlyTheFirstReadingOfAProcessTakesTheShortDelay) {
  clock_->setNow(kNow);
  storage_->setDouble(kNow - 18000, "APMExperimentFetchSuccessTimestamp");
  APMEFetchSchedule schedule(storage_, kNow - 600);
  EXPECT_FALSE(schedule.hasMadeInitialFetch());
  EXPECT_DOUBLE_EQ(schedule.fetchTimeFromStoredTimestamps(), kNow + 10);
  EXPECT_TRUE(schedule.hasMadeInitialFetch());
  EXPECT_DOUBLE_EQ(schedule.fetchTimeFromStoredTimestamps(), kNow - 18000 + 14400);

  // A failure now moves the next reading onto the retry ladder: its first step (30 minutes after
  // the missed fetch) has passed, the second (1.5 hours after) is next.
  schedule.recordFailure(kNow, false);
  EXPECT_DOUBLE_EQ(schedule.fetchTimeFromStoredTimestamps(), kNow - 3600 + 5400);
  EXPECT_TRUE(storage_->objectForKey("APMExperimentFetchBackoffTimestamp").isNull());
}
