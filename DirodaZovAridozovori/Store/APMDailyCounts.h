#pragma once
// The per-day event counters of the install (one row of the app metadata).

#include <cstdint>

class APMDailyCounts {
 public:
  int32_t day = 0;
  int32_t conversionsCount = 0;
  int32_t allEventsCount = 0;
  int32_t publicEventsCount = 0;
  int32_t errorEventsCount = 0;
  int32_t realtimeCount = 0;
  int32_t dcuRealtimeCount = 0;

  // Sets the day and zeroes all six counters.
  void resetWithNewDay(int32_t newDay);
  // Adds count to all events, count to public events when public, 1 to conversions when a
  // conversion; resets first when the day differs.
  void incrementCountsForCurrentDay(int32_t currentDay, bool isPublicEvent, bool isConversion, int32_t count = 1);
  void incrementErrorEventsCountForCurrentDay(int32_t currentDay);
  void incrementRealtimeCountsForCurrentDay(int32_t currentDay);
  void incrementDCURealtimeCountsForCurrentDay(int32_t currentDay);
  // Subtracts 1, never below 0.
  void decrementAllEventsCount();

  bool operator==(const APMDailyCounts&) const = default;

 private:
  void resetIfNewDay(int32_t currentDay);
};
