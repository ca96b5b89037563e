#include "APMEventRoad.h"

#include <climits>
#include <cmath>

#include "APMMonitor.h"
#include "APMNameTables.h"

namespace {
constexpr double kSecondsPerDay = 86400;
constexpr int64_t kLogEveryExcess = 1000;

bool debugModeEnabled() { return APMMonitor::shared()->isDebugModeEnabled(); }

bool shouldLogExcess(int64_t count, int64_t limit) { return (count - limit) % kLogEveryExcess == 0; }

int32_t clampedCount(int64_t count) {
  return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}
}  // namespace

bool APMIsSubjectToRealtimeLimit(const std::string& eventName, bool debugMode) {
  if (debugMode) return false;
  // Compared as views: their lengths settle most names before any byte is compared.
  const std::string_view name = eventName;
  return name != kAPMInAppPurchaseEventName && name != "_f" && name != "_dcu" && name != "_fx";
}

bool APMIsSubjectToRealtimeLimit(const APMEvent& event) {
  return APMIsSubjectToRealtimeLimit(event.name(), debugModeEnabled());
}

bool APMIsDCUEvent(const std::string& eventName, bool debugMode) { return !debugMode && eventName == "_dcu"; }

bool APMIsDCUEvent(const APMEvent& event) { return APMIsDCUEvent(event.name(), debugModeEnabled()); }

std::string APMDescribeParameters(const APMParameters& parameters) {
  std::string text = "{";
  bool first = true;
  for (const auto& [name, value] : parameters) {
    if (!first) text += ", ";
    first = false;
    text += name + ": " + value.description();
  }
  return text + "}";
}

bool APMIsConversionEventName(const std::string& eventName) {
  const std::string_view name = eventName;
  return name == "ecommerce_purchase" || name == "_f" || name == kAPMInAppPurchaseEventName || name == "purchase" ||
         name == "refund";
}

int32_t APMDayNumber(double now, double midnightOffset) {
  // The offset comes from the persisted file: a damaged value must neither leave the int32 range
  // (undefined on conversion) nor turn every day into the same one.
  if (!std::isfinite(midnightOffset)) midnightOffset = 0;
  const double day = std::floor((now - midnightOffset) / kSecondsPerDay);
  if (std::isnan(day)) return 0;
  if (day >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (day <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int32_t>(day);
}

APMDailyLimitDecision APMApplyDailyLimits(const APMEvent& event, bool isPublicEvent, int32_t day,
                                          const APMDailyLimits& limits, APMDailyCounts& counts) {
  using Refusal = APMDailyLimitDecision::Refusal;
  if (counts.day != day) counts.resetWithNewDay(day);
  const bool isError = event.name() == "_err";
  const int32_t effectiveCount = clampedCount(APMEffectiveEventCount(event));
  APMDailyLimitDecision decision;

  if (counts.allEventsCount >= limits.maxEventsPerDay) {
    decision = {false, Refusal::AllEvents, shouldLogExcess(counts.allEventsCount, limits.maxEventsPerDay),
                limits.maxEventsPerDay};
    if (isError) {
      counts.incrementErrorEventsCountForCurrentDay(day);
    } else {
      counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effectiveCount);
    }
    return decision;
  }
  if (isError) {
    if (counts.errorEventsCount >= limits.maxErrorEventsPerDay) {
      decision = {false, Refusal::ErrorEvents,
                  shouldLogExcess(counts.errorEventsCount, limits.maxErrorEventsPerDay), limits.maxErrorEventsPerDay};
      counts.incrementErrorEventsCountForCurrentDay(day);
      counts.decrementAllEventsCount();
      return decision;
    }
    counts.incrementErrorEventsCountForCurrentDay(day);
    return decision;
  }
  if (isPublicEvent && counts.publicEventsCount >= limits.maxPublicEventsPerDay) {
    decision = {false, Refusal::PublicEvents,
                shouldLogExcess(counts.publicEventsCount, limits.maxPublicEventsPerDay), limits.maxPublicEventsPerDay};
    counts.incrementCountsForCurrentDay(day, true, false, effectiveCount);
    counts.decrementAllEventsCount();
    return decision;
  }
  counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effectiveCount);
  return decision;
}

std::string APMDescribeParameterNames(const platform::Dictionary& parameters) {
  std::string text = "{";
  bool first = true;
  for (const auto& [key, value] : parameters) {
    if (!first) text += ", ";
    first = false;
    text += key;
  }
  return text + "}";
}
