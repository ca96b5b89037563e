#include "Upload/APMEventSampler.h"

#include <gtest/gtest.h>

#include "UploadTestSupport.h"

namespace {

using uploadtest::intParameter;

constexpr double kDay = 86400;
constexpr double kDay20000 = 20000 * kDay;  // the start of day 20000, UTC

std::shared_ptr<APMPBEvent> event(const std::string& name, double seconds, double previous = 0,
                                  std::optional<int64_t> complexID = std::nullopt) {
  auto message = APMPBEvent::initWithMessageInfo();
  if (!name.empty()) APMNanoSetString(*message, APMPBEvent::kName, name);
  APMNanoSetInt64(*message, APMPBEvent::kTimestampMillis, static_cast<int64_t>(seconds * 1000));
  APMNanoSetInt64(*message, APMPBEvent::kPreviousTimestampMillis, static_cast<int64_t>(previous * 1000));
  if (complexID) {
    auto param = APMPBEventParam::initWithMessageInfo();
    APMNanoSetString(*param, APMPBEventParam::kName, std::string("_eid"));
    APMNanoSetInt64(*param, APMPBEventParam::kIntValue, *complexID);
    APMNanoSetRepeatedField(*message, APMPBEvent::kParams, std::vector{param});
  }
  return message;
}

class APMEventSamplerTest : public uploadtest::UploadFixture {
 protected:
  APMEventSampler sampler(std::optional<int32_t> rate, bool win, int32_t offsetMinutes = 0) {
    auto rateOf = [rate](const std::string& name) -> std::optional<int32_t> {
      return name == "level_up" ? rate : std::nullopt;
    };
    return APMEventSampler({true, rateOf, offsetMinutes}, [win](int64_t) { return win; });
  }

  std::vector<std::shared_ptr<APMPBEvent>> run(APMEventSampler& s, const std::vector<std::shared_ptr<APMPBEvent>>& in) {
    std::optional<std::vector<std::shared_ptr<APMPBEvent>>> kept;
    platform::Error error;
    onWorker([&] { kept = s.sampleEvents(in, *database_, &error); });
    EXPECT_TRUE(kept) << error.description;
    return kept.value_or(std::vector<std::shared_ptr<APMPBEvent>>{});
  }

  std::shared_ptr<APMEventAggregates> aggregates(const std::string& name) {
    std::shared_ptr<APMEventAggregates> result;
    onWorker([&] { result = database_->eventAggregates().eventAggregatesWithName(name, nullptr); });
    return result;
  }
};

// Unsampled names are the won-roll test's "open".
TEST_F(APMEventSamplerTest, ARateOfOneKeepsEveryEventUnmarked) {
  auto s = sampler(1, false);
  auto kept = run(s, {event("level_up", kDay20000 + 10), event("level_up", kDay20000 + 20)});
  ASSERT_EQ(kept.size(), 2u);
  for (const auto& e : kept) {
    EXPECT_FALSE(intParameter(*e, "_sr"));
    EXPECT_FALSE(intParameter(*e, "_efs"));
  }
}

TEST_F(APMEventSamplerTest, WonRollsTravelWithTheirRate) {
  auto s = sampler(10, true);
  auto kept = run(s, {event("level_up", kDay20000 + 10), event("open", kDay20000 + 11)});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(intParameter(*kept[0], "_sr"), 10);
  EXPECT_FALSE(intParameter(*kept[1], "_sr")) << "only sampled names are marked";
  auto state = aggregates("level_up");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->lastSamplingRate(), 10);
  EXPECT_EQ(state->lastBundledDay(), 20000);
  EXPECT_DOUBLE_EQ(state->lastBundledTimestamp(), kDay20000 + 10);
}

TEST_F(APMEventSamplerTest, LostRollsKeepTheFirstEventOfEachDayAsExempt) {
  auto s = sampler(4, false);
  auto kept = run(s, {event("level_up", kDay20000 + 10), event("level_up", kDay20000 + 20, 0, 77),
                      event("level_up", kDay20000 + kDay + 5), event("", kDay20000 + 30)});
  ASSERT_EQ(kept.size(), 2u) << "the second event of a day is dropped, and so is an unnamed one";
  for (const auto& e : kept) {
    EXPECT_EQ(intParameter(*e, "_sr"), 4);
    EXPECT_EQ(intParameter(*e, "_efs"), 1);
  }
  EXPECT_EQ(APMNanoGetInt64(*kept[1], APMPBEvent::kTimestampMillis), static_cast<int64_t>((kDay20000 + kDay + 5) * 1000));
  auto state = aggregates("level_up");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->lastBundledDay(), 20001);
  EXPECT_TRUE(state->lastExemptFromSampling());
  EXPECT_EQ(state->lastSampledComplexEventID(), 77);

  // The state carries over: the next bundle on the same day drops its lost roll.
  auto again = sampler(4, false);
  EXPECT_TRUE(run(again, {event("level_up", kDay20000 + kDay + 50)}).empty());
}

TEST_F(APMEventSamplerTest, WithoutStoredDayThePreviousTimestampDecidesAndTheZoneShiftsDays) {
  auto s = sampler(4, false);
  EXPECT_TRUE(run(s, {event("level_up", kDay20000 + 100, kDay20000 + 50)}).empty())
      << "previous event on the same day: the lost roll is dropped";

  // 23:30 UTC is already the next day one hour east of UTC.
  auto shifted = sampler(4, false, 60);
  onWorker([&] {
    platform::Error error;
    APMEventAggregates reset("level_up", 0, 0, 0, 0);
    reset.setLastBundledDay(20000);
    ASSERT_TRUE(database_->eventAggregates().updateEventAggregates(reset, &error));
  });
  auto kept = run(shifted, {event("level_up", kDay20000 + 23.5 * 3600)});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(aggregates("level_up")->lastBundledDay(), 20001);
  EXPECT_EQ(APMEventSampler::dayNumber(kDay20000 + 23.5 * 3600, 0), 20000);
  EXPECT_EQ(APMEventSampler::dayNumber(kDay20000 + 0.5 * 3600, -60), 19999);
}

}  // namespace
