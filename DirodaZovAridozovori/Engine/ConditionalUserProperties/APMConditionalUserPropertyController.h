#pragma once
// Conditional user properties: user properties that other SDK components ask the engine to set
// only once a trigger event is logged within a time-out, and to keep for a time to live. The
// controller sets, clears and queries the stored records and, for every event the engine writes,
// times out, expires and triggers them.
//
// Threads. setConditionalUserProperty, clearConditionalUserPropertyWithClearEvent and the query may
// be called from any thread; they hand their work to the engine's worker queue. Everything named
// "...OnWorkerQueue" (and the two removal steps) runs there only. The stored records are the only
// state: the controller keeps none of its own.
//
// Database failures roll the whole step back, so a user property never outlives the record that
// would expire it, and no record is stored active whose user property could not be written.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMConditionalUserProperty.h"
#include "APMEvent.h"

class APMDatabase;
class APMMeasurement;

class APMConditionalUserPropertyController {
 public:
  // Both the trigger time-out and the time to live must lie in this range (seconds; 180 days).
  static constexpr double kMinTimeInterval = 0.001;
  static constexpr double kMaxTimeInterval = 15552000;
  // How long a query waits for the worker queue.
  static constexpr double kQueryTimeout = 30;

  static APMConditionalUserPropertyController& sharedInstance();

  // Joins the controller to the engines started from now on (the event road's conditional step),
  // unless a conditional step is installed already.
  static void install();

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
  // Times out, expires and triggers the records for one event the engine writes; the events its
  // triggers cause (for the engine to write after it), or none when the step failed and was rolled
  // back. Timed-out and expired events are written here, before the event itself.
  std::optional<std::vector<std::shared_ptr<APMEvent>>> processEventOnWorkerQueue(const APMEvent& event);
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
  APMConditionalUserPropertyController() = default;
  // The engine to work with, when it runs and has its database.
  static std::shared_ptr<APMMeasurement> engine();
  static bool checkWorkerQueue(const std::shared_ptr<APMMeasurement>& engine, const char* methodName);
};
