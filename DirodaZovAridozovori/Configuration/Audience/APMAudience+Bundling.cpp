// What a bundle reports of the audiences, and the session start that forgets session-scoped
// filters.

#include "APMAudience.h"
#include "APMAudienceLog.h"
#include "APMDatabase.h"
#include "APMFilterResultBits.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

using SequenceEntries = std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>;
using DynamicEntries = std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>;

std::shared_ptr<APMPBResultData> decodedResults(const platform::Data& bytes) {
  if (bytes.empty()) return nullptr;
  return APMPBResultData::fromBuffer(bytes);
}

// Unchanged data need not travel twice in full: the first sequence filter keeps only its last time.
void trimFirstSequenceList(APMPBResultData& data) {
  auto entries = APMNanoGetRepeatedField<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>(
      data, APMPBResultData::kSequenceFilterTimestamps);
  if (!entries || entries->empty()) return;
  auto& first = entries->front();
  auto times = APMNanoGetRepeatedField<int64_t>(*first, APMPBSequenceFilterResultTimestamp::kEvalTimestamps);
  if (!times || times->size() < 2) return;
  APMNanoSetRepeatedField(*first, APMPBSequenceFilterResultTimestamp::kEvalTimestamps,
                          std::vector<int64_t>{times->back()});
  APMNanoSetRepeatedField(data, APMPBResultData::kSequenceFilterTimestamps, *entries);
}

template <class Entry>
std::vector<std::shared_ptr<Entry>> withoutFilters(const APMPBResultData& data, int index,
                                                   const std::set<int32_t>& filterIDs) {
  std::vector<std::shared_ptr<Entry>> kept;
  for (auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Entry>>(data, index).value_or(std::vector<std::shared_ptr<Entry>>{})) {
    if (filterIDs.count(APMNanoGetInt32(*entry, Entry::kFilterId)) == 0) kept.push_back(entry);
  }
  return kept;
}

}  // namespace

std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> APMAudience::resultsForBundling(
    APMAudienceEvaluationPass* pass) {
  platform::Error error;
  if (pass && !saveEvaluationPass(*pass, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kBundlingResultsNotSaved,
           "Unable to save updated Audience filter results. Audience results will not be bundled. Error", {error});
    return std::nullopt;
  }
  auto results = database_->audienceFilters().allFilterResults(&error);
  if (!results) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kBundlingResultsQueryFailed,
           "Unable to query Audience filter results. Audience results will not be bundled. Error", {error});
    return std::nullopt;
  }
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> leaves;
  std::vector<APMFilterResult> reported;
  for (const auto& [audienceID, result] : *results) {
    auto current = decodedResults(result.currentResults());
    if (!current) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kNoCurrentResultData,
             "Current result data is nil. Audience result will not be bundled. Audience ID", {audienceID});
      continue;
    }
    if (!APMFilterResultBits::fromResultData(*current).anyEvaluated()) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kNoCurrentResultStatus,
             "Current result status is 0. Audience result will not be bundled. Audience ID", {audienceID});
      continue;
    }
    using Leaf = APMPBAudienceLeafFilterResult;
    auto leaf = Leaf::initWithMessageInfo();
    APMNanoSetInt32(*leaf, Leaf::kAudienceId, audienceID);
    platform::Data reportedBytes = result.currentResults();
    if (!result.previousResults().empty()) {
      APMNanoSetBool(*leaf, Leaf::kNewAudience, false);
      if (result.previousResults() == result.currentResults()) {
        trimFirstSequenceList(*current);
        reportedBytes = current->protoBuffer();
      } else if (auto previous = decodedResults(result.previousResults())) {
        APMNanoSetMessage(*leaf, Leaf::kPreviousData, previous);
      }
    } else {
      APMNanoSetBool(*leaf, Leaf::kNewAudience, true);
      APMNanoClearField(*leaf, Leaf::kPreviousData);
    }
    APMNanoSetMessage(*leaf, Leaf::kCurrentData, current);
    leaves.push_back(std::move(leaf));
    reported.emplace_back(audienceID, std::move(reportedBytes), result.currentResults());
  }
  if (!reported.empty() && !database_->audienceFilters().updateFilterResults(reported, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kBundlingResultsNotSaved,
           "Unable to save updated Audience filter results. Audience results will not be bundled. Error", {error});
    return std::nullopt;
  }
  return leaves;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  platform::Error error;
  auto sessionScoped = database_->audienceFilters().allSessionScopedFilters(&error);
  if (!sessionScoped) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kSessionScopedFiltersQueryFailed,
           "Unable to query all session scoped filters. Session scoped results will not be cleared. Error", {error});
    return false;
  }
  auto results = database_->audienceFilters().allFilterResults(&error);
  if (!results) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kSessionResultsQueryFailed,
           "Unable to query all filter results. Session scoped results will not be cleared. Error", {error});
    return false;
  }
  std::vector<APMFilterResult> cleared;
  std::vector<int32_t> emptied;
  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    auto stored = results->find(audienceID);
    if (stored == results->end()) continue;
    auto data = decodedResults(stored->second.currentResults());
    if (!data) continue;
    APMFilterResultBits bits = APMFilterResultBits::fromResultData(*data);
    for (int32_t filterID : filterIDs) bits.clear(filterID);
    if (!bits.anyEvaluated()) {
      emptied.push_back(audienceID);
      continue;
    }
    bits.writeTo(*data);
    APMNanoSetRepeatedField(*data, APMPBResultData::kDynamicFilterTimestamps,
                            withoutFilters<APMPBDynamicFilterResultTimestamp>(
                                *data, APMPBResultData::kDynamicFilterTimestamps, filterIDs));
    APMNanoSetRepeatedField(*data, APMPBResultData::kSequenceFilterTimestamps,
                            withoutFilters<APMPBSequenceFilterResultTimestamp>(
                                *data, APMPBResultData::kSequenceFilterTimestamps, filterIDs));
    cleared.emplace_back(audienceID, data->protoBuffer(), stored->second.currentResults());
  }
  if (!cleared.empty() && !database_->audienceFilters().updateFilterResults(cleared, &error)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kSessionResultsNotUpdated,
           "Unable to update filter results. Session scoped results will not be cleared. Error", {error});
    return false;
  }
  if (!emptied.empty() && !database_->audienceFilters().deleteFilterResults(emptied, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kSessionResultsNotDeleted,
           "Unable to delete filter results. Session scoped results will not be cleared. Error", {error});
    return false;
  }
  return true;
}
