#include "APMAudienceTimestampsCache.h"

#include "APMAudienceFilters.h"
#include "APMAudienceLog.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* result, int32_t audienceID) {
  if (populated_.count(audienceID) != 0) return;
  auto data = result && !result->currentResults().empty() ? APMPBResultData::fromBuffer(result->currentResults())
                                                          : nullptr;
  populateCachedTimestamps(data.get(), audienceID);
}

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMPBResultData* data, int32_t audienceID) {
  if (!populated_.insert(audienceID).second) return;
  std::map<int32_t, double>& dynamic = dynamicTimestamps_[audienceID];
  APMSequenceTimestampsCache sequence(audienceID);
  if (data) {
    using Dynamic = APMPBDynamicFilterResultTimestamp;
    using Sequence = APMPBSequenceFilterResultTimestamp;
    for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Dynamic>>(*data, APMPBResultData::kDynamicFilterTimestamps)
                                 .value_or(std::vector<std::shared_ptr<Dynamic>>{})) {
      dynamic[APMNanoGetInt32(*entry, Dynamic::kFilterId)] =
          static_cast<double>(APMNanoGetInt64(*entry, Dynamic::kTimestamp));
    }
    for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Sequence>>(*data, APMPBResultData::kSequenceFilterTimestamps)
                                 .value_or(std::vector<std::shared_ptr<Sequence>>{})) {
      auto times = APMNanoGetRepeatedField<int64_t>(*entry, Sequence::kEvalTimestamps);
      if (!times || times->empty()) continue;
      sequence.addEventFilterTimestamp(static_cast<double>(times->back()), APMNanoGetInt32(*entry, Sequence::kFilterId));
    }
  }
  sequenceTimestamps_.insert_or_assign(audienceID, std::move(sequence));
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMAudienceFilterKind& filter) {
  if (filter.isSequence) {
    auto [entry, created] = sequenceTimestamps_.try_emplace(filter.audienceID, filter.audienceID);
    if (filter.isEventFilter) {
      entry->second.addEventFilterTimestamp(timestamp, filter.filterID);
    } else {
      entry->second.setUserPropertyTimestamp(timestamp, filter.filterID);
    }
    return;
  }
  if (!filter.isDynamic && !filter.isSessionScoped) return;
  double& cached = dynamicTimestamps_[filter.audienceID][filter.filterID];
  if (cached < timestamp) {
    cached = timestamp;
  } else {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAudienceLogCode::kEvaluationTimestampBeforeCached,
           "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(
    int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> entries;
  auto found = dynamicTimestamps_.find(audienceID);
  if (found == dynamicTimestamps_.end()) return entries;
  for (const auto& [filterID, timestamp] : found->second) {
    auto entry = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
    APMNanoSetInt32(*entry, APMPBDynamicFilterResultTimestamp::kFilterId, filterID);
    APMNanoSetInt64(*entry, APMPBDynamicFilterResultTimestamp::kTimestamp, platform::saturatingInt64(timestamp));
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(int32_t audienceID) const {
  auto found = sequenceTimestamps_.find(audienceID);
  if (found == sequenceTimestamps_.end()) return std::nullopt;
  return found->second.sequenceFilterResultTimestamps();
}
