#pragma once
// The edit and create callbacks a program registered, by priority. The host adds the handler as a
// collection root, so the callbacks (and everything their closures hold) stay alive between events.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "APMPRuntimeValue.h"

class APMPEditingCallbackHandler final : public APMPObject {
 public:
  // At most this many callbacks, edit and create together, per host.
  static constexpr size_t kMaxCallbacks = 1000;

  struct Callback {
    int64_t priority;
    APMPRuntimeValue function;
  };

  // Rule type "edit" or "create" (else editing error 3); editing error 4 once kMaxCallbacks are
  // registered. A priority already taken in the table moves behind the largest one present.
  bool registerWithPriority(int64_t priority, APMPRuntimeValue callback, const std::string& ruleType,
                            platform::Error* error);

  // Snapshots in ascending priority: a callback that registers another while events are handled
  // changes the tables, never the walk in progress.
  std::vector<Callback> editCallbacks() const { return snapshot(editCallbacks_); }
  std::vector<Callback> createCallbacks() const { return snapshot(createCallbacks_); }
  size_t count() const { return editCallbacks_.size() + createCallbacks_.size(); }

  void markChildren(APMPMarker& marker) override;
  void clear();

 private:
  using Table = std::map<int64_t, APMPRuntimeValue>;
  static std::vector<Callback> snapshot(const Table& table);
  Table editCallbacks_;
  Table createCallbacks_;
};
