// Event times the engine cannot trust: a downloaded program may log an event at any double,
// Infinity included. Such an event is stored and bundled like any other, its time saturated
// to what a 64-bit count of milliseconds holds, never converted with undefined behaviour.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../DirodaZovAridozovori/Engine/EngineTestFixture.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace enginetest {
namespace {

class ExtremeTimestampTest : public EngineTest {};

TEST_F(ExtremeTimestampTest, EventsAtUnrepresentableTimesAreBundledWithSaturatedTimes) {
  start();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double seconds;
    int64_t milliseconds;
  } cases[] = {
      {"far_future", 1e300, std::numeric_limits<int64_t>::max()},
      {"infinite_future", inf, std::numeric_limits<int64_t>::max()},
      {"infinite_past", -inf, std::numeric_limits<int64_t>::min()},
  };
  for (const auto& c : cases) {
    engine().eventRoad().logEventWithOrigin("app", true, c.name, {}, c.seconds, {}, nullptr, {});
  }
  drain();

  std::map<std::string, int64_t> bundled;
  onWorker([&] {
    while (engine().uploadRoad().bundleRawEvents()) {
    }
    platform::Error error;
    auto queued = engine().database()->bundleQueue().queryBundlesWithCountLimit(100, 1 << 24, &error);
    ASSERT_TRUE(queued) << error.description;
    for (const auto& [bundle, rowID] : *queued) {
      auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, APMPBMeasurementBundle::kEvents);
      for (const auto& event : events.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
        bundled[APMNanoGetString(*event, APMPBEvent::kName).value_or("")] =
            APMNanoGetInt64(*event, APMPBEvent::kTimestampMillis);
      }
    }
  });
  for (const auto& c : cases) {
    ASSERT_TRUE(bundled.count(c.name)) << c.name << " was not bundled";
    EXPECT_EQ(bundled[c.name], c.milliseconds) << c.name;
  }
}

}  // namespace
}  // namespace enginetest
