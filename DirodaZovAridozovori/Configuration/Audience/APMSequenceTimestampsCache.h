#pragma once
// The times at which the sequence filters of one audience matched during one evaluation pass.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class APMPBSequenceFilterResultTimestamp;

class APMSequenceTimestampsCache {
 public:
  explicit APMSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's times in the order added; none when the filter has none.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::optional<int32_t> filterID) const;
  // An event filter's match: appended, unless its whole second is the last time's.
  void addEventFilterTimestamp(double timestamp, int32_t filterID);
  // A user-property filter's match: the list becomes this one time.
  void setUserPropertyTimestamp(double timestamp, int32_t filterID);
  // One entry per filter by ascending ID, its times ascending in whole seconds.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

 private:
  int32_t audienceID_;
  std::map<int32_t, std::vector<double>> timestamps_;
};
