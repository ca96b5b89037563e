#pragma once
// What the events of one group left behind (see APMEventGroup): the kept events' outcome, and the
// outcome of each event being written, outermost first. An event's outcome joins the one around it
// (or the kept events') when the event is kept, and goes when it rolls back; the road reads its
// state through all of them, the innermost event's first.
//
// Worker queue only, like the group that holds it.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "APMDailyCounts.h"
#include "platform/Object.h"

class APMEventOutcomes {
 public:
  // What one event (or the group, for its kept events) left behind.
  struct Outcome {
    std::optional<APMDailyCounts> dailyCounts;
    std::vector<std::string> aggregateRows;
    // Metadata rows (fingerprint, encoded metadata) to store when the group commits.
    std::vector<std::pair<int64_t, platform::Data>> metadataRows;
    std::optional<std::optional<std::string>> rolloutsText;
    std::vector<std::function<void()>> actions;
    bool nestedRollback = false;
  };

  // An event begins inside the current one (or in the group).
  void beginEvent() { events_.emplace_back(); }
  // The innermost event ends kept: its outcome joins the one around it, in place.
  void keepInnermost();
  // The innermost event ends rolled back: its outcome goes.
  void dropInnermost() { events_.pop_back(); }
  // The current event (or the group) saw an event inside it roll back.
  void noteRolledBack();
  // Inside an event: whether an event written inside it was rolled back.
  bool nestedEventRolledBack() const;
  // Events rolled back so far, outside any other event.
  uint64_t rolledBackEvents() const { return rolledBackEvents_; }
  // Ends the events being written without keeping them.
  void dropEvents() { events_.clear(); }

  // With the event being written, if any.
  void addAfterCommitAction(std::function<void()> action);
  // The kept events' actions, handed over once.
  std::vector<std::function<void()>> takeKeptActions();

  std::optional<APMDailyCounts> dailyCounts() const;
  void setDailyCounts(const APMDailyCounts& counts);
  std::optional<APMDailyCounts> changedDailyCounts() const;
  bool hasAggregateRow(const std::string& eventName) const;
  void noteAggregateRow(const std::string& eventName);
  // The encoded metadata a kept event, or one being written, left to store under this fingerprint
  // (nullptr: none).
  const platform::Data* metadataRow(int64_t fingerprint) const;
  void addMetadataRow(int64_t fingerprint, platform::Data encoded);
  // The kept events' metadata rows, in fingerprint order.
  const std::map<int64_t, platform::Data>& keptMetadataRows() const { return keptMetadataRows_; }
  std::optional<std::optional<std::string>> rolloutsText() const;
  void noteRolloutsText(std::optional<std::string> text);

 private:
  Outcome& current() { return events_.empty() ? kept_ : events_.back(); }
  // Joins outcome into the one at the given depth (0: the kept events').
  void join(Outcome& outcome, size_t depth);

  Outcome kept_;
  std::unordered_set<std::string> keptAggregateRows_;
  std::map<int64_t, platform::Data> keptMetadataRows_;
  std::vector<Outcome> events_;  // the events being written, outermost first
  uint64_t rolledBackEvents_ = 0;
};
