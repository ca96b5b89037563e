// The upload (protocol-buffer) form of user properties.

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMUserAttribute.h"
#include "Utilities/APMNumericUtil.h"

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto attribute = APMPBUserAttribute::initWithMessageInfo();
  APMNanoSetInt64(*attribute, APMPBUserAttribute::kSetTimestampMillis, APMMillisecondsFromSeconds(lastSetTimestamp_));
  APMNanoSetString(*attribute, APMPBUserAttribute::kName, name_);
  if (value_.isString()) APMNanoSetString(*attribute, APMPBUserAttribute::kStringValue, value_.stringValue());
  if (value_.isInt64()) APMNanoSetInt64(*attribute, APMPBUserAttribute::kIntValue, value_.int64Value());
  if (value_.isDouble()) APMNanoSetDouble(*attribute, APMPBUserAttribute::kDoubleValue, value_.doubleValue());
  return attribute;
}
