#include "APMConditionalUserProperty.h"

std::shared_ptr<APMConditionalUserProperty> APMConditionalUserProperty::copy() const {
  auto result = std::make_shared<APMConditionalUserProperty>(*this);
  result->triggeredEvent = triggeredEvent ? triggeredEvent->copy() : nullptr;
  result->timedOutEvent = timedOutEvent ? timedOutEvent->copy() : nullptr;
  result->expiredEvent = expiredEvent ? expiredEvent->copy() : nullptr;
  return result;
}
