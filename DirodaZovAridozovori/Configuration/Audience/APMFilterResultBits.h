#pragma once
// The two bit sets of an audience's stored result: filter f is in word f / 64 at bit f % 64 of
// both "status" (evaluated) and "results" (true). Stored words are read defensively: a damaged row
// whose two arrays differ in length reads the missing words as 0, and both always grow together.

#include <cstdint>
#include <vector>

class APMPBResultData;

struct APMFilterResultBits {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;

  static APMFilterResultBits fromResultData(const APMPBResultData& data);

  // Both arrays as long as the longer one, and long enough to hold the filter's word.
  void extendToFilter(int32_t filterID);
  bool isEvaluated(int32_t filterID) const;
  bool isTrue(int32_t filterID) const;
  // Marks the filter evaluated with the given result.
  void set(int32_t filterID, bool result);
  // Forgets the filter's evaluation (both bits cleared).
  void clear(int32_t filterID);
  bool anyEvaluated() const;
  // Writes both arrays into the message.
  void writeTo(APMPBResultData& data) const;
};
