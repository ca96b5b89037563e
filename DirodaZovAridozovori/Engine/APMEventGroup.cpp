#include "APMEventGroup.h"

#include <algorithm>
#include <exception>

#include "APMDatabase.h"

APMEventGroup::APMEventGroup(APMDatabase& database, Settings settings)
    : database_(database), settings_(std::move(settings)) {
  if (database_.beginTransaction(&beginError_)) state_ = State::Open;
}

APMEventGroup::~APMEventGroup() {
  if (state_ != State::Open) return;
  platform::Error ignored;
  database_.endTransaction(false, &ignored);
}

bool APMEventGroup::writeEvent(const std::function<bool()>& write) {
  if (state_ != State::Open) return false;
  platform::Error error;
  if (!database_.beginTransaction(&error)) {
    current().nestedRollback = true;
    if (events_.empty()) ++rolledBackEvents_;
    return false;
  }
  events_.emplace_back();
  bool keepIt = false;
  try {
    keepIt = write();
  } catch (const std::exception&) {
    keepIt = false;
  } catch (...) {
    keepIt = false;
  }
  Outcome outcome = std::move(events_.back());
  events_.pop_back();
  const bool kept = database_.endTransaction(keepIt, &error);
  if (!kept) {
    current().nestedRollback = true;
    if (events_.empty()) ++rolledBackEvents_;
    return false;
  }
  keep(std::move(outcome));
  return true;
}

void APMEventGroup::keep(Outcome&& outcome) {
  Outcome& into = current();
  if (outcome.dailyCounts) into.dailyCounts = outcome.dailyCounts;
  if (events_.empty()) {
    keptAggregateRows_.insert(outcome.aggregateRows.begin(), outcome.aggregateRows.end());
  } else {
    into.aggregateRows.insert(into.aggregateRows.end(), outcome.aggregateRows.begin(), outcome.aggregateRows.end());
  }
  if (events_.empty()) {
    keptFingerprints_.insert(outcome.storedFingerprints.begin(), outcome.storedFingerprints.end());
  } else {
    into.storedFingerprints.insert(into.storedFingerprints.end(), outcome.storedFingerprints.begin(),
                                   outcome.storedFingerprints.end());
  }
  if (outcome.rolloutsText) into.rolloutsText = std::move(outcome.rolloutsText);
  for (auto& action : outcome.actions) into.actions.push_back(std::move(action));
}

bool APMEventGroup::nestedEventRolledBack() const { return !events_.empty() && events_.back().nestedRollback; }

void APMEventGroup::afterCommit(std::function<void()> action) {
  if (!action) return;
  if (state_ == State::Ended) {
    action();
    return;
  }
  current().actions.push_back(std::move(action));
}

bool APMEventGroup::commit(const std::function<bool()>& flush, platform::Error* error) {
  if (state_ != State::Open) return false;
  bool keepIt = true;
  try {
    keepIt = !flush || flush();
  } catch (...) {
    keepIt = false;
  }
  state_ = State::Ended;
  events_.clear();
  if (!database_.endTransaction(keepIt, error)) return false;
  std::vector<std::function<void()>> actions = std::move(kept_.actions);
  kept_.actions.clear();
  for (auto& action : actions) action();
  return true;
}

std::optional<APMDailyCounts> APMEventGroup::dailyCounts() const {
  for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
    if (event->dailyCounts) return event->dailyCounts;
  }
  return kept_.dailyCounts;
}

void APMEventGroup::setDailyCounts(const APMDailyCounts& counts) { current().dailyCounts = counts; }

std::optional<APMDailyCounts> APMEventGroup::changedDailyCounts() const { return kept_.dailyCounts; }

bool APMEventGroup::hasAggregateRow(const std::string& eventName) const {
  if (keptAggregateRows_.count(eventName) != 0) return true;
  return std::any_of(events_.begin(), events_.end(), [&](const Outcome& event) {
    return std::find(event.aggregateRows.begin(), event.aggregateRows.end(), eventName) != event.aggregateRows.end();
  });
}

void APMEventGroup::noteAggregateRow(const std::string& eventName) {
  if (events_.empty()) {
    keptAggregateRows_.insert(eventName);
    return;
  }
  events_.back().aggregateRows.push_back(eventName);
}

bool APMEventGroup::hasStoredFingerprint(int64_t fingerprint) const {
  if (keptFingerprints_.count(fingerprint) != 0) return true;
  return std::any_of(events_.begin(), events_.end(), [&](const Outcome& event) {
    return std::find(event.storedFingerprints.begin(), event.storedFingerprints.end(), fingerprint) !=
           event.storedFingerprints.end();
  });
}

void APMEventGroup::noteStoredFingerprint(int64_t fingerprint) {
  if (events_.empty()) {
    keptFingerprints_.insert(fingerprint);
    return;
  }
  events_.back().storedFingerprints.push_back(fingerprint);
}

std::optional<std::optional<std::string>> APMEventGroup::rolloutsText() const {
  for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
    if (event->rolloutsText) return event->rolloutsText;
  }
  return kept_.rolloutsText;
}

void APMEventGroup::noteRolloutsText(std::optional<std::string> text) { current().rolloutsText = std::move(text); }
