#pragma once
// One evaluation pass: the events and user properties of one bundle (or a single evaluation).
// Each audience's stored result is read once and changed in memory, and the match times are kept
// in the pass's timestamps cache; the changed results reach the database together when the pass
// is saved. A bundle holds thousands of filter
// evaluations, and reading, decoding and rewriting a result for each of them would cost more than
// the bundle itself.
//
// Belongs to one APMAudience and its database; worker queue only.

#include <cstdint>
#include <unordered_map>
#include <memory>
#include <optional>
#include <vector>

#include "APMAudienceFilters.h"
#include "APMAudienceTimestampsCache.h"
#include "APMFilterResultBits.h"

class APMAudienceEvaluationPass {
 public:
  // Match times go to cache when one is given (it must outlive the pass), else to the pass's own.
  explicit APMAudienceEvaluationPass(APMAudienceTimestampsCache* cache = nullptr)
      : timestamps_(cache ? *cache : ownTimestamps_) {}
  APMAudienceEvaluationPass(const APMAudienceEvaluationPass&) = delete;
  APMAudienceEvaluationPass& operator=(const APMAudienceEvaluationPass&) = delete;

  APMAudienceTimestampsCache& timestamps() { return timestamps_; }

  // An audience's result as this pass sees it.
  struct Result {
    // The stored row as read when the pass began (none: the audience had no result).
    std::shared_ptr<APMFilterResult> stored;
    APMFilterResultBits bits;
    // The stored row has status and results words (a result without them counts nothing as true).
    bool readable = false;
    bool reportedUnreadable = false;
    bool changed = false;
  };
  // The audience's result, when read already.
  Result* knownResult(int32_t audienceID);
  Result& addResult(int32_t audienceID, std::shared_ptr<APMFilterResult> stored);

  // The results changed in this pass, encoded with the pass's match times; afterwards the pass
  // reads every result afresh.
  std::vector<APMFilterResult> takeChangedResults();

 private:
  APMAudienceTimestampsCache ownTimestamps_;
  APMAudienceTimestampsCache& timestamps_;
  // Unordered: references stay valid as results are added.
  std::unordered_map<int32_t, Result> results_;
  // The last result asked for: a name's filters come ordered by audience.
  int32_t lastAudienceID_ = 0;
  Result* lastResult_ = nullptr;
};
