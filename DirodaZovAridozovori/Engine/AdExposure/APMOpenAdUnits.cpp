#include "APMOpenAdUnits.h"

#include <cmath>

#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/AdExposure/APMAdExposureLog.h"
#include "platform/Clock.h"
#include "platform/Object.h"

double APMOpenAdUnits::currentTime() {
  const double time = platform::uptime();
  return std::isfinite(time) && time > 0 ? time : kUnknownTime;
}

std::optional<int64_t> APMOpenAdUnits::exposureMillis(double startTime, double endTime) {
  if (startTime == kUnknownTime || endTime == kUnknownTime) return std::nullopt;
  return platform::saturatingInt64((endTime - startTime) * 1000);
}

void APMOpenAdUnits::begin(const std::string& adUnitID, double time) {
  if (adUnitCounts_.size() >= kMaxOpenAdUnits) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kReachedLimitAdUnits,
           "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
    return;
  }
  if (adUnitCounts_.empty()) adExposureStartTime_ = time;
  if (!adUnitCounts_.count(adUnitID)) adUnitStartTimes_[adUnitID] = time;
  adUnitCounts_[adUnitID] += 1;
}

bool APMOpenAdUnits::endOneOfSeveral(const std::string& adUnitID) {
  auto count = adUnitCounts_.find(adUnitID);
  if (count == adUnitCounts_.end() || count->second < 2) return false;
  count->second -= 1;
  return true;
}

void APMOpenAdUnits::close(const std::string& adUnitID) {
  adUnitCounts_.erase(adUnitID);
  adUnitStartTimes_.erase(adUnitID);
}

double APMOpenAdUnits::startTimeOf(const std::string& adUnitID) const {
  auto start = adUnitStartTimes_.find(adUnitID);
  return start == adUnitStartTimes_.end() ? kUnknownTime : start->second;
}

void APMOpenAdUnits::updateStartTimes(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}
