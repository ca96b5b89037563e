#pragma once
// The match times of dynamic, session-scoped and sequence filters during one evaluation pass
// (one bundle): read once per audience from its stored result, moved forward by each match, and
// written back into every result the pass updates.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "APMSequenceTimestampsCache.h"

class APMFilterResult;
class APMPBDynamicFilterResultTimestamp;
class APMPBResultData;

// What the cache needs to know of the filter that matched.
struct APMAudienceFilterKind {
  int32_t audienceID = 0;
  int32_t filterID = 0;
  bool isEventFilter = true;
  bool isDynamic = false;
  bool isSessionScoped = false;
  bool isSequence = false;
};

class APMAudienceTimestampsCache {
 public:
  // Takes the audience's stored times, once per audience and pass; sequence filters keep only
  // their last stored time.
  void populateCachedTimestamps(const APMFilterResult* result, int32_t audienceID);
  // The same from the result's decoded current data (none: the audience has no times yet).
  void populateCachedTimestamps(const APMPBResultData* data, int32_t audienceID);
  void addEvaluationTimestamp(double timestamp, const APMAudienceFilterKind& filter);

  // One entry per filter by ascending ID (whole seconds); empty when the audience has none.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      int32_t audienceID) const;
  // None when the audience has no sequence times in this pass.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>> sequenceTimestampsForAudienceID(
      int32_t audienceID) const;

 private:
  std::set<int32_t> populated_;
  std::map<int32_t, std::map<int32_t, double>> dynamicTimestamps_;
  std::map<int32_t, APMSequenceTimestampsCache> sequenceTimestamps_;
};
