#pragma once
// The pure rules of the event road: which events count against the real-time limit, which are
// subscriptions or conversions, the day number daily limits count in, and the daily-limit decision
// itself. Kept free of queues and storage so they can be checked directly.
#include <cstdint>
#include <string>

#include "APMDailyCounts.h"
#include "APMEvent.h"
#include "APMNameTables.h"
#include "platform/Object.h"

// Internal names never count against the real-time limit in debug mode, nor these four ever.
bool APMIsSubjectToRealtimeLimit(const std::string& eventName, bool debugMode);
bool APMIsSubjectToRealtimeLimit(const APMEvent& event);
bool APMIsDCUEvent(const std::string& eventName, bool debugMode);
bool APMIsDCUEvent(const APMEvent& event);
// "{name: value, …}", for the log lines of the road.
std::string APMDescribeParameters(const APMParameters& parameters);
// "{name, …}": the names alone, for host dictionaries in log lines.
std::string APMDescribeParameterNames(const platform::Dictionary& parameters);
// Names stored as conversions.
bool APMIsConversionEventName(const std::string& eventName);
// floor((now - midnightOffset) / 86400).
int32_t APMDayNumber(double now, double midnightOffset);

// The daily limits in force.
struct APMDailyLimits {
  int64_t maxEventsPerDay = 100000;
  int64_t maxErrorEventsPerDay = 1000;
  int64_t maxPublicEventsPerDay = 50000;
};

// What the daily-limit rule decided for one event; counts are updated in place.
struct APMDailyLimitDecision {
  enum class Refusal { None, AllEvents, ErrorEvents, PublicEvents };
  bool accept = true;
  Refusal refusal = Refusal::None;
  // The refusal is to be logged (the excess over the limit is a multiple of 1000).
  bool shouldLog = false;
  int64_t limit = 0;
};

// Applies the daily limits to one event on day `day` (the counts are reset first when their day
// differs) and raises the counters as the rule says.
APMDailyLimitDecision APMApplyDailyLimits(const APMEvent& event, bool isPublicEvent, int32_t day,
                                          const APMDailyLimits& limits, APMDailyCounts& counts);
