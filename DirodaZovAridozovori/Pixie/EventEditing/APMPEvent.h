#pragma once
// An event as event-editing programs see it: a name, a timestamp and host-value parameters.

#include <memory>
#include <string>

#include "platform/Object.h"

class APMPEvent {
 public:
  APMPEvent() = default;
  // The parameters are copied.
  APMPEvent(std::string name, double timestamp, platform::Dictionary parameters);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  const platform::Dictionary& parameters() const { return parameters_; }

  // A null object when absent.
  const platform::Object& parameterForName(const std::string& name) const;
  bool hasParameterName(const std::string& name) const;
  // A null value removes the parameter; any other value is coerced against the current one
  // (APMPCoerceParameterValue) and stored.
  void setParameter(const platform::Object& value, const std::string& name);

  // Same name, timestamps within one machine epsilon, and the same parameters in both directions:
  // a parameter present on one side only makes the events differ, so removing a parameter (say,
  // scrubbing a personal value) counts as an edit. Numbers differ when exactly one is floating.
  bool isEqualToEvent(const APMPEvent& other) const;

  std::shared_ptr<APMPEvent> copy() const { return std::make_shared<APMPEvent>(*this); }

 private:
  std::string name_;
  double timestamp_ = 0;
  platform::Dictionary parameters_;
};

// The value stored for a new value under a parameter name, given the parameter's old value (null
// when absent): internal counters "_syn", "_err", "_el" are always whole numbers; an integer
// parameter stays an integer, and an internal ("_") one keeps its value; a string parameter takes
// the number's decimal text; anything else is stored as given.
platform::Object APMPCoerceParameterValue(const platform::Object& value, const std::string& name,
                                          const platform::Object& oldValue);

// True when the value can be an event parameter: an integer or floating number, a string, or a
// list of item dictionaries whose values are numbers or strings.
bool APMPIsEventParameterValue(const platform::Object& value);
