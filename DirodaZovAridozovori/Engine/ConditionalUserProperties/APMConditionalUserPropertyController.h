#pragma once
// Conditional user properties: user properties that other SDK components ask the engine to set
// only once a trigger event is logged within a time-out, and to keep for a time to live. The
// controller sets, clears and queries the stored records and, for every event the engine writes,
// times out, expires and triggers them.
//
// Each engine has its controller among its components, working through the engine's context; the
// connector reaches the shared engine's controller through that engine.
//
// Threads. setConditionalUserProperty, clearConditionalUserPropertyWithClearEvent and the query may
// be called from any thread; they hand their work to the engine's worker queue. Everything named
// "...OnWorkerQueue" (and the two removal steps) runs there only. The stored records are the state;
// the controller only remembers, on the worker queue, whether the engine's database has none, so
// that an event costs nothing while no record exists.
//
// Database failures roll the whole step back, so a user property never outlives the record that
// would expire it, and no record is stored active whose user property could not be written.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMConditionalUserProperty.h"
#include "APMEngineComponent.h"
#include "APMEvent.h"

class APMDatabase;

class APMConditionalUserPropertyController final
    : public APMEngineComponent,
      public std::enable_shared_from_this<APMConditionalUserPropertyController> {
 public:
  // Both the trigger time-out and the time to live must lie in this range (seconds; 180 days).
  static constexpr double kMinTimeInterval = 0.001;
  static constexpr double kMaxTimeInterval = 15552000;
  // How long a query waits for the worker queue.
  static constexpr double kQueryTimeout = 30;

  void attachToEngine(const std::shared_ptr<APMEngineContext>& engine) override { engine_ = engine; }
  // Worker queue: processEventOnWorkerQueue, once the engine's database may hold a record.
  bool eventWillBeWritten(const APMEvent& event, APMEventCompanions& companions) override;

  // A copy of property under name is validated and, with a value, stored (active at once when it
  // has no trigger event); without a value the stored record of that name is removed.
  void setConditionalUserProperty(const std::shared_ptr<APMConditionalUserProperty>& property,
                                  const std::string& name);
  // Removes the record of name; clearEvent (may be null) is logged as its expired event.
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<APMEvent>& clearEvent, const std::string& name);
  // The stored records whose names begin with namePrefix and whose origin is origin (none or empty:
  // any), read on the worker queue. None when the query fails, analytics is disabled, no answer came
  // within kQueryTimeout, or it is called on the worker queue itself (which it would wait for).
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>> conditionalUserPropertiesWithNamePrefix(
      const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin);

  // ---- Worker queue only.
  void setConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<APMConditionalUserProperty>& property);
  void removeConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<APMConditionalUserProperty>& property);
  // Times out, expires and triggers the records for one event the engine writes: the timed-out and
  // expired events (to write before it) and the events its triggers cause (to write after it), or
  // none when the step failed and was rolled back.
  std::optional<APMEventCompanions> processEventOnWorkerQueue(const APMEvent& event);
  // Inside processEventOnWorkerQueue's transaction; false on a database failure. The events made
  // are added to events.
  bool removeTimedOutCUPWithTimedOutEvents(std::vector<std::shared_ptr<APMEvent>>& events);
  bool removeExpiredCUPWithExpiredEvents(std::vector<std::shared_ptr<APMEvent>>& events);
  std::optional<std::vector<std::shared_ptr<APMEvent>>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      const std::string& eventName);

  // The event logged for a record: the stored event's name and parameters under the record's
  // origin, not public, at timestamp, no previous timestamp. Null without a stored event (or when
  // origin or name is empty).
  static std::shared_ptr<APMEvent> eventFromStoredEvent(const std::shared_ptr<APMEvent>& stored,
                                                        const std::string& origin, double timestamp);

 private:
  bool checkWorkerQueue(const char* methodName) const;
  // Whether the engine's database may hold a record (read once, then kept up to date by the sets).
  bool mayHaveRecordsOnWorkerQueue();

  std::shared_ptr<APMEngineContext> engine_;
  // Worker queue only: false once the database was seen without a record and none was set since.
  std::optional<bool> mayHaveRecords_;
};
