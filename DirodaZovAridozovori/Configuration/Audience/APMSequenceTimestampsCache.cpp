#include "APMSequenceTimestampsCache.h"

#include <algorithm>
#include <cmath>

#include "APMAudienceLog.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::optional<int32_t> filterID) const {
  if (!filterID) return std::nullopt;
  auto found = timestamps_.find(*filterID);
  if (found == timestamps_.end()) return std::nullopt;
  return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& list = timestamps_[filterID];
  if (!list.empty()) {
    if (timestamp < list.back()) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMAudienceLogCode::kSequenceTimestampAddedOutOfOrder,
             "Adding a sequence timestamp less than the last added timestamp");
    }
    // The upload carries whole seconds: a second match within the same second adds nothing.
    if (std::trunc(timestamp) == std::trunc(list.back())) return;
  }
  list.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& list = timestamps_[filterID];
  if (!list.empty() && timestamp < list.back()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAudienceLogCode::kSequenceTimestampSetOutOfOrder,
           "Setting a sequence timestamp less than the last set timestamp");
  }
  list.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> entries;
  for (const auto& [filterID, times] : timestamps_) {
    auto entry = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
    APMNanoSetInt32(*entry, APMPBSequenceFilterResultTimestamp::kFilterId, filterID);
    if (!times.empty()) {
      std::vector<int64_t> seconds;
      for (double time : times) seconds.push_back(platform::saturatingInt64(time));
      std::sort(seconds.begin(), seconds.end());
      APMNanoSetRepeatedField(*entry, APMPBSequenceFilterResultTimestamp::kEvalTimestamps, seconds);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}
