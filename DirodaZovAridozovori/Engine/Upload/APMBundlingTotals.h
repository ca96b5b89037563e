#pragma once
// What the groups of one bundling transaction count together: the daily counts, the app metadata's
// bundle indices and times, and the event aggregates of the names they bundle. Each is read once
// per transaction and written once before its commit: a stream of one-event groups (a purchase
// stream) would otherwise read and write the same rows for every group.
//
// Statements that read or change the stored aggregates themselves (the session counts cleared, the
// snapshot and its restore, sampling) run only after writeAggregates, which also forgets them so
// they are read afresh. A group that rolls back its savepoint restores the totals it began with
// (restore), so what it counted is gone from memory as from the file.
//
// Worker queue only; lives for one transaction.

#include <map>
#include <optional>
#include <string>

#include "APMAppMetadata.h"
#include "APMDailyCounts.h"
#include "APMEventAggregates.h"
#include "platform/Error.h"

class APMDatabase;

class APMBundlingTotals {
 public:
  explicit APMBundlingTotals(APMDatabase& database) : database_(database) {}

  // The counts to change in place; nullptr when they cannot be read. changed marks them for writing.
  APMDailyCounts* dailyCounts(platform::Error* error);
  APMAppMetadata* appMetadata(platform::Error* error);
  void dailyCountsChanged() { state_.countsChanged = true; }
  void appMetadataChanged() { state_.metadataChanged = true; }

  // The aggregates of name to change in place, a fresh zero entry for a name never counted; nullptr
  // when they cannot be read. Every entry handed out is written.
  APMEventAggregates* eventAggregates(const std::string& name, platform::Error* error);
  // Whether a purchase event was counted before: stored or among the entries handed out.
  std::optional<bool> hasCountedPurchase(platform::Error* error);

  // Writes the changed aggregates and forgets every aggregate read, so the next ones are read
  // from the file. False, keeping them, when a write fails.
  bool writeAggregates(platform::Error* error);
  // The counts and the metadata, when changed; false when the write fails.
  bool writeDailyCounts(platform::Error* error);
  bool writeAppMetadata(platform::Error* error);

  // What a group begins with, for its savepoint.
  struct State {
    std::optional<APMDailyCounts> counts;
    bool countsChanged = false;
    std::optional<APMAppMetadata> metadata;
    bool metadataChanged = false;
    std::map<std::string, APMEventAggregates> aggregates;
    std::optional<bool> storedPurchase;
  };
  const State& state() const { return state_; }
  void restore(State state) { state_ = std::move(state); }

 private:
  APMDatabase& database_;
  State state_;
};
