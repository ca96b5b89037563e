#include "APMPEventContext.h"

APMPEventContext::APMPEventContext() : APMPEventContext(std::make_shared<APMPEvent>()) {}

APMPEventContext::APMPEventContext(std::shared_ptr<APMPEvent> event) { setInputEvent(std::move(event)); }

void APMPEventContext::setInputEvent(std::shared_ptr<APMPEvent> event) {
  inputEvent_ = event ? std::move(event) : std::make_shared<APMPEvent>();
  outputEvent_ = inputEvent_->copy();
  loggedEvents_.clear();
}

void APMPEventContext::logEventWithName(std::string name, double timestamp, const platform::Dictionary& parameters) {
  platform::Dictionary coerced;
  for (const auto& [key, value] : parameters) {
    if (value.isNull()) continue;
    coerced.emplace(key, APMPCoerceParameterValue(value, key, inputEvent_->parameterForName(key)));
  }
  loggedEvents_.push_back(std::make_shared<APMPEvent>(std::move(name), timestamp, std::move(coerced)));
}
