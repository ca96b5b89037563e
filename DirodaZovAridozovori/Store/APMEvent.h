#pragma once
// One logged event: origin, public flag, name, timestamps (seconds since 1970) and parameters.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "APMValue.h"
#include "platform/Object.h"

class APMCompactParameters;
struct APMEventParameterLimits;

// The event as an editing program sees it: public name, timestamp and host-value parameters.
struct APMEditEventForm {
  std::string name;
  double timestamp = 0;
  platform::Dictionary parameters;
};

class APMEvent {
 public:
  // Null when the origin or the name is empty. Host parameters are cleaned first
  // (APMSanitizedEventParameters with the event's public flag); APMValue parameters are taken as given.
  static std::shared_ptr<APMEvent> create(const std::string& origin, bool isPublic, const std::string& name,
                                          double timestamp, double previousTimestamp,
                                          const platform::Dictionary& parameters);
  // The same, cleaned under the given limits rather than the current ones.
  static std::shared_ptr<APMEvent> create(const std::string& origin, bool isPublic, const std::string& name,
                                          double timestamp, double previousTimestamp,
                                          const platform::Dictionary& parameters,
                                          const APMEventParameterLimits& limits);
  // The same, read and cleaned entry by entry out of the compact form.
  static std::shared_ptr<APMEvent> create(const std::string& origin, bool isPublic, const std::string& name,
                                          double timestamp, double previousTimestamp,
                                          const APMCompactParameters& parameters,
                                          const APMEventParameterLimits& limits);
  static std::shared_ptr<APMEvent> create(const std::string& origin, bool isPublic, const std::string& name,
                                          double timestamp, double previousTimestamp, APMParameters parameters);

  const std::string& origin() const { return origin_; }
  bool isPublic() const { return isPublic_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const APMParameters& parameters() const { return parameters_; }
  const APMValue* parameter(std::string_view name) const;

  std::shared_ptr<APMEvent> copy() const;
  std::shared_ptr<APMEvent> copyWithParameters(APMParameters parameters) const;
  std::shared_ptr<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;

  // Adds the cleaned given parameters that the event does not hold yet (its own values win).
  void applyParameters(const platform::Dictionary& parameters, bool isPublic);
  // Adds (replacing) the screen parameters "_sn", "_sc", "_si" of the dictionary.
  void addScreenParameters(const platform::Dictionary& screenParameters);
  void addScreenParameters(const APMCompactParameters& screenParameters);
  // The screen parameters of a dictionary as addScreenParameters adds them; none when one of them
  // takes the conversion that logs what it refuses (so a result kept for many events skips no line).
  static std::optional<APMParameters> screenParametersInPlace(const platform::Dictionary& screenParameters);
  // Adds (replacing) parameters screenParametersInPlace gave.
  void addConvertedScreenParameters(const APMParameters& screenParameters);
  void setParameter(const std::string& name, APMValue value);
  void removeParameter(const std::string& name);

  // The internal flags "_c", "_r", "_dbg": YES stores the integer 1, NO removes the parameter.
  void setConversion(bool conversion);
  void setRealtime(bool realtime);
  void setDebug(bool debug);
  bool isConversion() const;
  bool isRealtime() const;
  bool isDebug() const;

  // The stored body of its raw-event row (APMEventEncoding::encodeBody), encoded now and kept until
  // the event changes: the front encodes it while the event waits, so the writer, the road's
  // slowest step, binds it as it is.
  void keepStoredBody();
  // The kept body; nullptr when none was kept or the event changed since.
  const platform::Data* storedBody() const { return hasStoredBody_ ? &storedBody_ : nullptr; }

  // The form an editing program sees (internal names mapped to public ones) and back: the public
  // name mapped to its internal one, origin "_o" when it is a string else "app", not public,
  // previous timestamp 0.
  APMEditEventForm editEvent() const;
  static std::shared_ptr<APMEvent> eventFromEditEvent(const APMEditEventForm& editEvent);

  bool operator==(const APMEvent& other) const;

 private:
  APMEvent() = default;
  bool flag(std::string_view name) const;
  void setFlag(const char* name, bool on);
  // Every change of what the body holds goes through here first.
  APMParameters& changedParameters() {
    hasStoredBody_ = false;
    return parameters_;
  }

  std::string origin_;
  bool isPublic_ = false;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
  APMParameters parameters_;
  platform::Data storedBody_;
  bool hasStoredBody_ = false;
};

// 1 plus the number of items in all array-valued parameters.
int64_t APMEffectiveEventCount(const APMEvent& event);
