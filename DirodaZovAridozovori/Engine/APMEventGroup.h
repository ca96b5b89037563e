#pragma once
// One group of events written together (group commit). The events waiting when the worker reaches
// them share one SQLite transaction; the writes of each event form a savepoint of their own inside
// it, so one event's failure rolls back that event alone. (The savepoint opens at the event's second
// write: an event that writes nothing, is refused, or writes nothing but its raw-event row costs
// no savepoint; see APMSqliteStore::insertRow.)
//
// The group is a scope: it begins its transaction when created and, unless committed, rolls it back
// when it goes. While it lives it carries
// - what its kept events left behind, so the next event need not read it again: the daily counts
//   (stored once, when the group commits), the event names whose aggregate rows exist, the metadata
//   rows to store (once, when the group commits, in fingerprint order) and the feature-rollouts
//   text. An event that rolls back leaves none
//   of these behind (APMEventOutcomes keeps them);
// - the settings read once for the group, and caches that stay valid while it lasts;
// - the actions to run once the transaction has committed: they run once, in order, and an event's
//   own actions go with it when it rolls back.
// Events nest: an event written while another is being written belongs to it and is undone with it.
//
// Worker queue only, like the database it writes.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "APMDailyCounts.h"
#include "APMDatabase.h"
#include "APMEventOutcomes.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMRemoteConfigEventEditing;
struct APMAnalyticsHooks;

class APMEventGroup {
 public:
  // What the road reads of the configuration and persisted state for every event, read once per
  // group: nothing else runs on the worker queue while a group is written.
  struct Settings {
    int64_t maxEventsPerDay = 0;
    int64_t maxErrorEventsPerDay = 0;
    int64_t maxPublicEventsPerDay = 0;
    int64_t maxRealtimeEventCountPerDay = 0;
    int64_t maxRealtimeDCUEventCountPerDay = 0;
    int64_t maxEventNameCardinality = 0;
    bool blocklistInternal = false;
    bool blocklistPublic = false;
    int32_t day = 0;
    // The monitor's switches: debug mode makes every event debug and real-time; debugLines tells
    // whether the road's debug lines would be printed at all (their parameter texts are costly).
    bool debugMode = false;
    bool debugLines = false;
    std::optional<platform::Dictionary> defaultEventParameters;
    std::shared_ptr<APMRemoteConfigEventEditing> eventEditing;
  };

  // What the group reuses while it lasts. None of it is undone with an event: each entry is true for
  // the whole group, or carries what it was read under and is checked before use.
  struct Caches {
    // Per event name: blocked, custom conversion.
    std::unordered_map<std::string, std::pair<bool, bool>> nameRules;
    // The metadata of the last written event, for as long as what it was built from is unchanged.
    struct Metadata {
      uint64_t sourcesVersion = 0;  // APMDatabase::metadataSourcesVersion when built
      platform::Data encoded;
      int64_t fingerprint = 0;
      bool hasResettableDeviceID = false;
    };
    std::optional<Metadata> metadata;
    // What the metadata fields other than the user properties were last read under: the identity,
    // the configuration and the device are read once per group; the session's stitching token
    // and the on-device values again when what they come from changes.
    struct FixedMetadata {
      APMDatabase::Version onDeviceValues;
      int64_t sessionNumber = 0;
      bool sessionExpired = false;
      bool userIDAvailable = false;
      bool hasResettableDeviceID = false;
      bool operator==(const FixedMetadata&) const = default;
    };
    std::optional<FixedMetadata> fixedMetadata;
    // The identity was refreshed when the group began, and whether it then asked for the
    // last-advertising-ID-reset property.
    bool identityRefreshed = false;
    bool shouldSetLastAdvertisingIDReset = false;
    // Where the expired session's properties stood right after they were removed.
    std::optional<std::vector<APMDatabase::Version>> sessionPropertiesRemovedAt;
    // Inserts left before the stored-events limit can be reached (see
    // APMDatabaseRawEvents::rawEventsRoomBelowAbsoluteLimit); every insert, kept or not, uses one.
    std::optional<int64_t> rawEventRoom;
    // Whether the app was active, read at the group's first event: its events were all logged
    // before the group began, so a later reading is no truer for them (and costs the front's locks).
    std::optional<bool> appActive;
    // The hooks as the group's first logged event found them when they had event listeners then
    // (nullptr when they had none): read once, like appActive, since a listener that arrives later
    // arrived after every event of the group was logged.
    std::optional<std::shared_ptr<const APMAnalyticsHooks>> listeningHooks;
  };

  // Begins the group's transaction (a savepoint of the enclosing one when there is one).
  APMEventGroup(APMDatabase& database, Settings settings);
  // Rolls the transaction back unless the group was committed; the after-commit actions never run.
  ~APMEventGroup();
  APMEventGroup(const APMEventGroup&) = delete;
  APMEventGroup& operator=(const APMEventGroup&) = delete;

  // Whether the transaction began; when not, nothing may be written through the group.
  bool isOpen() const { return state_ == State::Open; }
  const platform::Error& beginError() const { return beginError_; }

  // Runs write as one event in a savepoint of its own. Its writes, what it left behind and its
  // after-commit actions are kept when it returns true and the savepoint is released; otherwise
  // (a false, a throw, a failed release) all of them are undone. Whether the event was kept.
  bool writeEvent(const std::function<bool()>& write);
  // Inside writeEvent: whether an event written inside the current one was rolled back.
  bool nestedEventRolledBack() const { return outcomes_.nestedEventRolledBack(); }
  // Events rolled back so far, outside any other event.
  uint64_t rolledBackEvents() const { return outcomes_.rolledBackEvents(); }

  // An action for once the group has committed: with the event being written, if any (and gone
  // with it if it rolls back). Once the group has ended it runs at once.
  void afterCommit(std::function<void()> action);

  // Ends the group: flush runs first, inside the transaction (false rolls everything back), then
  // the transaction commits and the after-commit actions run, once, in order. Whether anything was
  // kept.
  bool commit(const std::function<bool()>& flush, platform::Error* error);

  // The road's state: as the kept events, and the events being written, left it.
  std::optional<APMDailyCounts> dailyCounts() const { return outcomes_.dailyCounts(); }
  void setDailyCounts(const APMDailyCounts& counts) { outcomes_.setDailyCounts(counts); }
  // The daily counts the kept events changed (none when none did): what the group stores at commit.
  std::optional<APMDailyCounts> changedDailyCounts() const { return outcomes_.changedDailyCounts(); }
  bool hasAggregateRow(const std::string& eventName) const { return outcomes_.hasAggregateRow(eventName); }
  void noteAggregateRow(const std::string& eventName) { outcomes_.noteAggregateRow(eventName); }
  // The metadata row a kept event of the group, or one being written, left to store under this
  // fingerprint (nullptr: none). The rows wait for the commit: stored then in fingerprint order,
  // they fill the metadata table's pages one after the other instead of at random.
  const platform::Data* metadataRow(int64_t fingerprint) const { return outcomes_.metadataRow(fingerprint); }
  void addMetadataRow(int64_t fingerprint, platform::Data encoded) {
    outcomes_.addMetadataRow(fingerprint, std::move(encoded));
  }
  const std::map<int64_t, platform::Data>& keptMetadataRows() const { return outcomes_.keptMetadataRows(); }
  // None: unchanged by the group; otherwise the text (none when cleared).
  std::optional<std::optional<std::string>> rolloutsText() const { return outcomes_.rolloutsText(); }
  void noteRolloutsText(std::optional<std::string> text) { outcomes_.noteRolloutsText(std::move(text)); }

  // One update of the upload schedule, once the group has ended.
  void requestScheduleUpdate() { scheduleUpdateRequested_ = true; }
  bool scheduleUpdateRequested() const { return scheduleUpdateRequested_; }

  // The transaction goes on for the next group of events, which reads the settings anew and starts
  // with empty caches, as a group of its own would: what the groups before it read may have
  // changed since, outside the database.
  void continueWith(Settings settings) {
    settings_ = std::move(settings);
    caches_ = Caches{};
  }

  const Settings& settings() const { return settings_; }
  Caches& caches() { return caches_; }
  APMDatabase& database() { return database_; }

 private:
  enum class State { NotBegun, Open, Ended };

  APMDatabase& database_;
  Settings settings_;
  Caches caches_;
  State state_ = State::NotBegun;
  platform::Error beginError_;
  APMEventOutcomes outcomes_;
  bool scheduleUpdateRequested_ = false;
};
