#include <gtest/gtest.h>

#include <deque>

#include "APMMonitoringSampledData.h"
#include "TestSupport.h"

using platform::Array;
using platform::Date;
using platform::Object;

TEST(APMMonitoringSampledData, ReservoirKeepsOneMessageWithEqualChance) {
  testsupport::ScopedFakeClock clock(1000.0);
  // Answers the queued values in order, recording each bound it was asked for.
  std::deque<uint64_t> answers{1, 0, 2};
  std::vector<uint64_t> bounds;
  APMMonitoringSampledData sample(Object(), [&](uint64_t bound) {
    bounds.push_back(bound);
    const uint64_t value = answers.front();
    answers.pop_front();
    return value;
  });
  sample.insertOrUpdateSampledDataWithKey("k1", "c1");
  clock->advance(5);
  sample.insertOrUpdateSampledDataWithKey("k2", "c2");  // 1 of [0,2): kept the first
  sample.insertOrUpdateSampledDataWithKey("k3", "c3");  // 0 of [0,3): replaced
  sample.insertOrUpdateSampledDataWithKey("k4", "c4");  // 2 of [0,4): kept
  EXPECT_EQ(bounds, (std::vector<uint64_t>{2, 3, 4}));
  EXPECT_EQ(sample.sampledData(), Object(Array{Object("c3"), Object(4), Object("k3"), Object(Date{1000.0})}));
}

TEST(APMMonitoringSampledData, StoredArraysAreCheckedEntryByEntry) {
  const Object valid(Array{Object("ctx"), Object(2), Object("key"), Object(Date{10})});
  struct Row { const char* name; Object stored; bool accepted; };
  const Row rows[] = {
      {"valid", valid, true},
      {"null", Object(), false},
      {"too short", Object(Array{Object("ctx"), Object(2), Object("key")}), false},
      {"too long", Object(Array{Object("ctx"), Object(2), Object("key"), Object(Date{10}), Object(1)}), false},
      {"context not text", Object(Array{Object(1), Object(2), Object("key"), Object(Date{10})}), false},
      {"population not number", Object(Array{Object("c"), Object("2"), Object("key"), Object(Date{10})}), false},
      {"time not date", Object(Array{Object("c"), Object(2), Object("k"), Object(10.0)}), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(row.stored), row.accepted);
    APMMonitoringSampledData sample(row.stored);
    EXPECT_EQ(sample.hasEntry(), row.accepted);
    if (row.accepted) {
      EXPECT_EQ(sample.sampledData(), row.stored);
    }
  }
}

TEST(APMMonitoringSampledData, DispatchTexts) {
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("1E_111500:m", 3, "5,-"), "3:1E_111500:m:5,-");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("1E_111500:m", 1, ""), "1:1E_111500:m");

  testsupport::ScopedFakeClock clock(100000.0);
  APMMonitoringSampledData sample(Object(Array{Object(""), Object(2), Object("key"), Object(Date{100000.0 - 50})}));
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(50, 0), std::nullopt) << "exactly one period old";
  clock->advance(1);
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(50, 0), "2:key");
  EXPECT_FALSE(sample.hasEntry());
  // Nothing sampled: "0:" only once a previous sample time is known and a period away.
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(50, 100001.0 + 51), "0:");
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(50, 100001.0 - 50), std::nullopt);
}
