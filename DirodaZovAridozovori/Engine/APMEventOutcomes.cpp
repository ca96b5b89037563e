#include "APMEventOutcomes.h"

#include <algorithm>

void APMEventOutcomes::noteRolledBack() {
  current().nestedRollback = true;
  if (events_.empty()) ++rolledBackEvents_;
}

void APMEventOutcomes::keepInnermost() {
  join(events_.back(), events_.size() - 1);
  events_.pop_back();
}

void APMEventOutcomes::join(Outcome& outcome, size_t depth) {
  const bool intoKept = depth == 0;
  Outcome& into = intoKept ? kept_ : events_[depth - 1];
  if (outcome.dailyCounts) into.dailyCounts = outcome.dailyCounts;
  if (intoKept) {
    keptAggregateRows_.insert(outcome.aggregateRows.begin(), outcome.aggregateRows.end());
  } else {
    into.aggregateRows.insert(into.aggregateRows.end(), outcome.aggregateRows.begin(), outcome.aggregateRows.end());
  }
  for (auto& [fingerprint, encoded] : outcome.metadataRows) {
    if (intoKept) {
      keptMetadataRows_.emplace(fingerprint, std::move(encoded));
    } else {
      into.metadataRows.emplace_back(fingerprint, std::move(encoded));
    }
  }
  if (outcome.rolloutsText) into.rolloutsText = std::move(outcome.rolloutsText);
  for (auto& action : outcome.actions) into.actions.push_back(std::move(action));
}

bool APMEventOutcomes::nestedEventRolledBack() const { return !events_.empty() && events_.back().nestedRollback; }

void APMEventOutcomes::addAfterCommitAction(std::function<void()> action) {
  current().actions.push_back(std::move(action));
}

std::vector<std::function<void()>> APMEventOutcomes::takeKeptActions() {
  std::vector<std::function<void()>> actions = std::move(kept_.actions);
  kept_.actions.clear();
  return actions;
}

std::optional<APMDailyCounts> APMEventOutcomes::dailyCounts() const {
  for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
    if (event->dailyCounts) return event->dailyCounts;
  }
  return kept_.dailyCounts;
}

void APMEventOutcomes::setDailyCounts(const APMDailyCounts& counts) { current().dailyCounts = counts; }

std::optional<APMDailyCounts> APMEventOutcomes::changedDailyCounts() const { return kept_.dailyCounts; }

bool APMEventOutcomes::hasAggregateRow(const std::string& eventName) const {
  if (keptAggregateRows_.count(eventName) != 0) return true;
  return std::any_of(events_.begin(), events_.end(), [&](const Outcome& event) {
    return std::find(event.aggregateRows.begin(), event.aggregateRows.end(), eventName) != event.aggregateRows.end();
  });
}

void APMEventOutcomes::noteAggregateRow(const std::string& eventName) {
  if (events_.empty()) {
    keptAggregateRows_.insert(eventName);
    return;
  }
  events_.back().aggregateRows.push_back(eventName);
}

const platform::Data* APMEventOutcomes::metadataRow(int64_t fingerprint) const {
  if (auto kept = keptMetadataRows_.find(fingerprint); kept != keptMetadataRows_.end()) return &kept->second;
  for (const Outcome& event : events_) {
    for (const auto& [rowFingerprint, encoded] : event.metadataRows) {
      if (rowFingerprint == fingerprint) return &encoded;
    }
  }
  return nullptr;
}

void APMEventOutcomes::addMetadataRow(int64_t fingerprint, platform::Data encoded) {
  if (events_.empty()) {
    keptMetadataRows_.emplace(fingerprint, std::move(encoded));
    return;
  }
  events_.back().metadataRows.emplace_back(fingerprint, std::move(encoded));
}

std::optional<std::optional<std::string>> APMEventOutcomes::rolloutsText() const {
  for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
    if (event->rolloutsText) return event->rolloutsText;
  }
  return kept_.rolloutsText;
}

void APMEventOutcomes::noteRolloutsText(std::optional<std::string> text) { current().rolloutsText = std::move(text); }
