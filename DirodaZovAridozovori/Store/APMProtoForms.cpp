// The upload (protocol-buffer) forms of events and user properties.

#include "APMEvent.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMUserAttribute.h"
#include "Utilities/APMNumericUtil.h"

namespace {

std::shared_ptr<APMPBEventParam> protoParameter(const std::string& name, const APMValue& value);

std::vector<std::shared_ptr<APMPBEventParam>> protoParameters(const APMParameters& parameters) {
  std::vector<std::shared_ptr<APMPBEventParam>> result;
  result.reserve(parameters.size());
  for (const auto& [name, value] : parameters) result.push_back(protoParameter(name, value));
  return result;
}

std::shared_ptr<APMPBEventParam> protoParameter(const std::string& name, const APMValue& value) {
  auto parameter = APMPBEventParam::initWithMessageInfo();
  APMNanoSetString(*parameter, APMPBEventParam::kName, name);
  switch (value.type()) {
    case APMValue::Type::Int64:
      APMNanoSetInt64(*parameter, APMPBEventParam::kIntValue, value.int64Value());
      break;
    case APMValue::Type::Double:
      APMNanoSetDouble(*parameter, APMPBEventParam::kDoubleValue, value.doubleValue());
      break;
    case APMValue::Type::String:
      APMNanoSetString(*parameter, APMPBEventParam::kStringValue, value.stringValue());
      break;
    case APMValue::Type::Array: {
      std::vector<std::shared_ptr<APMPBEventParamItem>> items;
      for (const APMParameters& entry : value.arrayValue()) {
        auto item = APMPBEventParamItem::initWithMessageInfo();
        APMNanoSetRepeatedField(*item, APMPBEventParamItem::kParams, protoParameters(entry));
        items.push_back(std::move(item));
      }
      APMNanoSetRepeatedField(*parameter, APMPBEventParam::kArrayValue, items);
      break;
    }
  }
  return parameter;
}

}  // namespace

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto event = APMPBEvent::initWithMessageInfo();
  APMNanoSetRepeatedField(*event, APMPBEvent::kParams, protoParameters(parameters_));
  APMNanoSetString(*event, APMPBEvent::kName, name_);
  APMNanoSetInt64(*event, APMPBEvent::kTimestampMillis, APMMillisecondsFromSeconds(timestamp_));
  if (previousTimestamp_ != 0) {
    APMNanoSetInt64(*event, APMPBEvent::kPreviousTimestampMillis, APMMillisecondsFromSeconds(previousTimestamp_));
  }
  return event;
}

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto attribute = APMPBUserAttribute::initWithMessageInfo();
  APMNanoSetInt64(*attribute, APMPBUserAttribute::kSetTimestampMillis, APMMillisecondsFromSeconds(lastSetTimestamp_));
  APMNanoSetString(*attribute, APMPBUserAttribute::kName, name_);
  if (value_.isString()) APMNanoSetString(*attribute, APMPBUserAttribute::kStringValue, value_.stringValue());
  if (value_.isInt64()) APMNanoSetInt64(*attribute, APMPBUserAttribute::kIntValue, value_.int64Value());
  if (value_.isDouble()) APMNanoSetDouble(*attribute, APMPBUserAttribute::kDoubleValue, value_.doubleValue());
  return attribute;
}
