#pragma once
// The session that outlives the process: its number, its timeout, when it was last active and the
// offset of local midnight, so a relaunch inside the timeout continues the same session.

#include "APMPersistedValues.h"

class APMPersistedSession : public APMPersistedValues {
 public:
  explicit APMPersistedSession(std::shared_ptr<platform::UserDefaults> store) : APMPersistedValues(std::move(store)) {}

  int64_t sessionNumber() const { return integerValue("session_number").value_or(0); }
  void setSessionNumber(std::optional<int64_t> v) { set("session_number", v); }
  std::optional<double> sessionTimeoutValue() const { return doubleValue("session_timeout"); }
  void setSessionTimeoutValue(std::optional<double> v) { set("session_timeout", v); }
  double lastSessionActivityClockTime() const { return doubleValue("last_engagement_end").value_or(0); }
  void setLastSessionActivityClockTime(std::optional<double> v) { set("last_engagement_end", v); }
  std::optional<double> midnightOffset() const { return doubleValue("midnight_offset"); }
  void setMidnightOffset(std::optional<double> v) { set("midnight_offset", v); }
};
