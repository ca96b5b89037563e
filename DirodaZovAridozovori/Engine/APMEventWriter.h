#pragma once
// The writing half of the event road: stores each event that passed the road's filters as one
// raw-event row, with its daily counts, aggregates and metadata, and holds the event groups those
// writes share (see APMEventGroup).
//
// Events handed to the engine together are written in one group (writeGroup); a write outside any
// group gets a group of its own, so every write follows the same rules: one event's failure rolls
// back that event alone, and the daily counts and after-commit actions follow only what was kept.
//
// Owned by the engine's event road; worker queue only.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "APMEngineComponent.h"
#include "APMEventGroup.h"
#include "APMEventMetadataEncoder.h"

class APMEvent;
class APMIdentity;
class APMPBMeasurementBundle;
class APMPersistedConfig;
class APMRemoteConfig;

// What the writer asks of the road it writes for (worker queue only). The road outlives its writer.
class APMEventWriterHost {
 public:
  virtual ~APMEventWriterHost() = default;
  // What the engine's first successful start made (nullptr before it).
  virtual const std::shared_ptr<APMDatabase>& database() const = 0;
  virtual const std::shared_ptr<APMRemoteConfig>& remoteConfig() const = 0;
  virtual const std::shared_ptr<APMIdentity>& identity() const = 0;
  virtual const std::shared_ptr<APMPersistedConfig>& persistedConfig() const = 0;
  // The day number the daily limits count in.
  virtual int32_t currentDayNumber() const = 0;
  virtual bool isSessionExpired() = 0;
  // A raw event's whole metadata with these user properties, when its fixed part cannot be reused.
  virtual std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) = 0;
  // An internal event of the writer's own ("_err"), written after the current block.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const platform::Dictionary& parameters) = 0;
  virtual void setLastAdvertisingIDResetUserProperty() = 0;
  // The first open with a resettable device ID, after one stored without it ("_fx").
  virtual void logFirstOpenConsentedEvent(double timestamp) = 0;
  // Arms the upload alarm for what was just stored.
  virtual void updateSchedule() = 0;
  // The engine's components, in the order they are called.
  virtual const APMEngineComponentList& engineComponents() const = 0;
  // Those of them that act at that moment of every event, in the same order.
  virtual const APMEngineComponentList& engineComponentsActingAt(APMEngineEventMoment moment) const {
    (void)moment;
    return engineComponents();
  }
};

class APMEventWriter {
 public:
  explicit APMEventWriter(APMEventWriterHost& host);
  ~APMEventWriter();
  APMEventWriter(const APMEventWriter&) = delete;
  APMEventWriter& operator=(const APMEventWriter&) = delete;

  enum class GroupResult { NotBegun, Committed, Failed, KeptOpen };
  // Runs body with a group open: the events it writes share one transaction, committed at the end
  // (NotBegun: the transaction could not begin and body did not run), unless keepOpen, asked once
  // body has run, answers true: then the transaction stays open (KeptOpen) and the next writeGroup
  // goes on in it, its events committed with this group's. Until then the after-commit actions and
  // the daily counts of both wait, and a failed commit keeps neither group's events: what one
  // failure loses is one transaction's events, as many as the caller lets it hold. Anything else
  // that reaches the database meanwhile commits the open transaction first (see
  // APMDatabaseConnection::setBeforeNextOperation), and so does commitKeptOpenGroup.
  GroupResult writeGroup(const std::function<void()>& body, platform::Error* error,
                         const std::function<bool()>& keepOpen = {});
  // Commits the transaction a group left open, logging the loss when that fails; false then.
  bool commitKeptOpenGroup();
  bool keepsGroupOpen() const { return keptOpen_ != nullptr; }
  bool inGroup() const { return group_ != nullptr; }
  // The open group (nullptr outside one): for its state and caches.
  APMEventGroup* group() { return group_; }

  // Writes done by write are one event: kept or undone together, in the open group or in a group
  // of its own. Whether they were kept.
  bool writeEvent(const std::function<bool()>& write);
  // Inside writeEvent: an event written inside the current one was rolled back.
  bool nestedEventRolledBack() const { return group_ && group_->nestedEventRolledBack(); }

  // The filtered write: block list, conversion flag, then in one event the lifetime value, the
  // daily limits, the real-time decision and the raw-event row.
  void writeFilteredEvent(const std::shared_ptr<APMEvent>& event);

  // Runs action once the enclosing group commits (at once outside one).
  void afterCommit(std::function<void()> action);
  // The road's settings: the group's, or freshly read outside one.
  const APMEventGroup::Settings& settings();
  // Whether the road's debug lines would be printed: as read for the group, else asked now.
  bool logsDebugLines() const;
  // Blocked, custom conversion: remembered for the group.
  std::pair<bool, bool> nameRules(const std::string& eventName);
  // The feature-rollouts text as the road sees it: as written in the group, else as persisted.
  std::optional<std::string> rolloutsText() const;
  // The rollouts text the "_ssr" event on the road records once its row is stored.
  void setPendingRolloutsText(std::optional<std::optional<std::string>> text) { pendingRolloutsText_ = std::move(text); }

  // The metadata an event of the open group left to store under this fingerprint when the group
  // commits (nullptr: none, or no group open): what a reader inside the group finds there.
  const platform::Data* metadataWaitingForCommit(int64_t fingerprint) const;

  // Event rows whose writes were rolled back, in or out of groups.
  uint64_t rolledBackWrites() const { return rolledBackWrites_; }

 private:
  APMEventGroup::Settings readSettings() const;
  // conversion: the event's name, or the configuration, makes it a conversion.
  bool writeFilteredEventInGroup(APMEvent& event, bool conversion);
  bool updateLifetimeValueWithEvent(const APMEvent& event);
  bool shouldProcessEvent(const APMEvent& event, APMDailyCounts& dailyCounts, bool isPublicEvent);
  bool isRealtimeEvent(APMEvent& event, APMDailyCounts& dailyCounts, bool conversion);
  void markDebugAndRealtime(APMEvent& event);
  bool writeEventRow(APMEvent& event, bool isPublicEvent, bool isRealtime);
  bool ensureAggregateRow(const std::string& name, bool isPublicEvent);
  const APMEventGroup::Caches::Metadata* metadata();
  // None when the fixed part cannot be split off (the whole metadata is then built each time).
  const APMEventGroup::Caches::FixedMetadata* fixedMetadata(
      const std::vector<std::shared_ptr<APMUserAttribute>>& attributes);
  bool checkStoredEventsLimit();
  // Inside the commit: the kept events' metadata rows, in fingerprint order.
  bool storeMetadataRows(APMEventGroup& group);
  GroupResult commitGroup(APMEventGroup& group, platform::Error* error);
  bool flushDailyCounts(APMEventGroup& group);

  APMEventWriterHost& host_;
  APMEventMetadataEncoder metadataEncoder_;
  APMEventGroup* group_ = nullptr;
  // The group whose transaction stays open for the next writeGroup (see writeGroup).
  std::unique_ptr<APMEventGroup> keptOpen_;
  bool adHocGroup_ = false;  // group_ is a group of one write's own
  std::optional<APMEventGroup::Settings> adHocSettings_;
  std::optional<std::optional<std::string>> pendingRolloutsText_;
  uint64_t rolledBackWrites_ = 0;
};
