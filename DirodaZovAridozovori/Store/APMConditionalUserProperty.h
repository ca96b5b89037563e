#pragma once
// A user property that waits for a trigger event, within a time-out, and then lives for a time to
// live. Only the record: setting, triggering and expiring live with the controller.

#include <memory>
#include <optional>
#include <string>

#include "APMEvent.h"
#include "APMValue.h"

class APMConditionalUserProperty {
 public:
  std::string name;
  std::string origin;
  std::optional<APMValue> value;  // none asks for removal when handed to the setter
  std::string triggerEventName;   // empty: active at once
  double triggerTimeout = 0;      // seconds after creation
  double timeToLive = 0;          // seconds after activation
  std::shared_ptr<APMEvent> triggeredEvent;
  std::shared_ptr<APMEvent> timedOutEvent;
  std::shared_ptr<APMEvent> expiredEvent;
  double creationTimestamp = 0;   // seconds since 1970
  bool active = false;
  double triggeredTimestamp = 0;  // seconds since 1970

  bool isActive() const { return active; }
  // A deep copy: the stored events are copied too, so changing the copy never changes the original.
  std::shared_ptr<APMConditionalUserProperty> copy() const;
};
