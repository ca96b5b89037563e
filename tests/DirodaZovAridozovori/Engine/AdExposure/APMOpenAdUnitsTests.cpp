// The open ad units on their own: begins counted per unit, and when each slice started.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "AdExposure/APMOpenAdUnits.h"

namespace {

TEST(OpenAdUnitsTest, ASliceStartsAtTheFirstBeginAndRestartsOnlyWhileAUnitIsOpen) {
  APMOpenAdUnits units;
  units.begin("A", 10);
  units.begin("B", 12);
  units.begin("A", 14);  // still open: its slice keeps its start
  EXPECT_EQ(units.startTimeOf("A"), 10);
  EXPECT_EQ(units.startTimeOf("B"), 12);
  EXPECT_EQ(units.startTimeOf("C"), -1);
  EXPECT_EQ(units.adExposureStartTime(), 10);  // any ad: from the first unit on

  EXPECT_TRUE(units.endOneOfSeveral("A"));
  EXPECT_FALSE(units.endOneOfSeveral("A"));  // its last begin: the caller closes it
  EXPECT_FALSE(units.endOneOfSeveral("B"));
  EXPECT_EQ(units.counts().at("A"), 1);
  units.close("A");
  EXPECT_FALSE(units.contains("A"));
  EXPECT_EQ(units.startTimeOf("A"), -1);

  units.updateStartTimes(20);
  EXPECT_EQ(units.startTimeOf("B"), 20);
  EXPECT_EQ(units.adExposureStartTime(), 20);
  units.close("B");
  units.updateStartTimes(30);  // nothing open: nothing restarts
  EXPECT_EQ(units.adExposureStartTime(), 20);
  units.begin("C", 40);
  EXPECT_EQ(units.adExposureStartTime(), 40);
}

TEST(OpenAdUnitsTest, ExposureIsMeasuredOnlyBetweenTwoReadings) {
  const struct {
    double start, end;
    std::optional<int64_t> millis;
  } cases[] = {
      {10, 11.5, 1500}, {10, 10.0004, 0}, {-1, 11, std::nullopt}, {10, -1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMOpenAdUnits::exposureMillis(c.start, c.end), c.millis) << c.start << " " << c.end;
  }
}

}  // namespace
