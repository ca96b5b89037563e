#pragma once
// One user property: who set it (origin), its name, its value and when it was last set.

#include <memory>
#include <string>

#include "APMValue.h"

class APMPBUserAttribute;

class APMUserAttribute {
 public:
  APMUserAttribute(std::string origin, std::string name, APMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)), lastSetTimestamp_(lastSetTimestamp) {}

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValue& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // The name does not begin with "_".
  bool isPublic() const { return name_.empty() || name_[0] != '_'; }

  // The upload form: set time in milliseconds, name, and the value in its kind's field.
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

  bool operator==(const APMUserAttribute& other) const {
    return origin_ == other.origin_ && name_ == other.name_ && value_ == other.value_ &&
           lastSetTimestamp_ == other.lastSetTimestamp_;
  }

 private:
  std::string origin_;
  std::string name_;
  APMValue value_;
  double lastSetTimestamp_;
};
