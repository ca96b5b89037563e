#include "APMAudienceEvaluationPass.h"

#include "APMAudience.h"
#include "APMPBMessages.h"

APMAudienceEvaluationPass::Result* APMAudienceEvaluationPass::knownResult(int32_t audienceID) {
  if (lastResult_ && lastAudienceID_ == audienceID) return lastResult_;
  auto found = results_.find(audienceID);
  if (found == results_.end()) return nullptr;
  lastAudienceID_ = audienceID;
  lastResult_ = &found->second;
  return lastResult_;
}

APMAudienceEvaluationPass::Result& APMAudienceEvaluationPass::addResult(int32_t audienceID,
                                                                        std::shared_ptr<APMFilterResult> stored) {
  Result result;
  auto data = stored && !stored->currentResults().empty() ? APMPBResultData::fromBuffer(stored->currentResults())
                                                          : nullptr;
  if (data) result.bits = APMFilterResultBits::fromResultData(*data);
  result.readable = !result.bits.status.empty() && !result.bits.results.empty();
  // The stored match times are the pass's starting point for every filter of the audience.
  timestamps_.populateCachedTimestamps(data.get(), audienceID);
  result.stored = std::move(stored);
  lastAudienceID_ = audienceID;
  lastResult_ = &results_.insert_or_assign(audienceID, std::move(result)).first->second;
  return *lastResult_;
}

std::vector<APMFilterResult> APMAudienceEvaluationPass::takeChangedResults() {
  std::vector<APMFilterResult> changed;
  for (const auto& [audienceID, result] : results_) {
    if (!result.changed) continue;
    changed.emplace_back(audienceID, APMAudience::encodedResultData(result.bits, audienceID, timestamps_),
                         result.stored ? result.stored->previousResults() : platform::Data{});
  }
  results_.clear();
  lastResult_ = nullptr;
  return changed;
}
