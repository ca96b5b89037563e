#include "APMDailyCounts.h"

#include <limits>

namespace {
// Counters saturate rather than wrap: a wrapped count would lift every daily limit.
int32_t saturatingAdd(int32_t value, int32_t add) {
  const int64_t sum = static_cast<int64_t>(value) + add;
  if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (sum < 0) return 0;
  return static_cast<int32_t>(sum);
}
}  // namespace

void APMDailyCounts::resetWithNewDay(int32_t newDay) {
  day = newDay;
  conversionsCount = allEventsCount = publicEventsCount = errorEventsCount = realtimeCount = dcuRealtimeCount = 0;
}

void APMDailyCounts::resetIfNewDay(int32_t currentDay) {
  if (day != currentDay) resetWithNewDay(currentDay);
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t currentDay, bool isPublicEvent, bool isConversion,
                                                  int32_t count) {
  resetIfNewDay(currentDay);
  allEventsCount = saturatingAdd(allEventsCount, count);
  if (isPublicEvent) publicEventsCount = saturatingAdd(publicEventsCount, count);
  if (isConversion) conversionsCount = saturatingAdd(conversionsCount, 1);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t currentDay) {
  resetIfNewDay(currentDay);
  allEventsCount = saturatingAdd(allEventsCount, 1);
  errorEventsCount = saturatingAdd(errorEventsCount, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t currentDay) {
  resetIfNewDay(currentDay);
  realtimeCount = saturatingAdd(realtimeCount, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t currentDay) {
  resetIfNewDay(currentDay);
  dcuRealtimeCount = saturatingAdd(dcuRealtimeCount, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount > 0) --allEventsCount;
}
