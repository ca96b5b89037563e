#include "APMEvent.h"

#include <cstring>

#include "APMCompactParameters.h"
#include "APMEventEncoding.h"
#include "APMEventParameters.h"
#include "APMNameTables.h"

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const platform::Dictionary& parameters) {
  return create(origin, isPublic, name, timestamp, previousTimestamp, parameters, APMCurrentEventParameterLimits());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const platform::Dictionary& parameters,
                                           const APMEventParameterLimits& limits) {
  APMEventParameterCleaner cleaner(name, isPublic, true, limits);
  cleaner.reserve(parameters.size());
  for (const auto& [key, value] : parameters) cleaner.add(key, value);
  return create(origin, isPublic, name, timestamp, previousTimestamp, cleaner.finish());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const APMCompactParameters& parameters,
                                           const APMEventParameterLimits& limits) {
  APMEventParameterCleaner cleaner(name, isPublic, true, limits);
  cleaner.reserve(parameters.size());
  parameters.forEachEntry([&](std::string_view key, apm_compact::Reader& value) { cleaner.add(key, value); });
  return create(origin, isPublic, name, timestamp, previousTimestamp, cleaner.finish());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp, APMParameters parameters) {
  if (origin.empty() || name.empty()) return nullptr;
  // The event and its count in one allocation (the local type reaches the private constructor).
  struct Made : APMEvent {};
  std::shared_ptr<APMEvent> event = std::make_shared<Made>();
  event->origin_ = origin;
  event->isPublic_ = isPublic;
  event->name_ = name;
  event->timestamp_ = timestamp;
  event->previousTimestamp_ = previousTimestamp;
  event->parameters_ = std::move(parameters);
  return event;
}

const APMValue* APMEvent::parameter(std::string_view name) const {
  auto found = parameters_.find(name);
  return found == parameters_.end() ? nullptr : &found->second;
}

std::shared_ptr<APMEvent> APMEvent::copy() const { return std::shared_ptr<APMEvent>(new APMEvent(*this)); }

std::shared_ptr<APMEvent> APMEvent::copyWithParameters(APMParameters parameters) const {
  auto event = copy();
  event->changedParameters() = std::move(parameters);
  return event;
}

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  auto event = copy();
  event->previousTimestamp_ = previousTimestamp;
  event->hasStoredBody_ = false;
  return event;
}

void APMEvent::applyParameters(const platform::Dictionary& parameters, bool isPublic) {
  auto cleaned = APMSanitizedEventParameters(parameters, name_, isPublic, true);
  if (!cleaned) return;
  auto& own = changedParameters();
  for (auto& [name, value] : APMParametersFromDictionary(*cleaned)) own.emplace(name, std::move(value));
}

void APMEvent::addScreenParameters(const platform::Dictionary& screenParameters) {
  auto& parameters = changedParameters();
  for (auto& [name, value] : APMParametersFromDictionary(APMScreenParametersFromDictionary(screenParameters))) {
    parameters.insert_or_assign(name, std::move(value));
  }
}

void APMEvent::addScreenParameters(const APMCompactParameters& screenParameters) {
  hasStoredBody_ = false;
  screenParameters.forEachEntry([this](std::string_view key, apm_compact::Reader& value) {
    std::string name(key);
    if (!APMIsScreenParameterName(name)) return value.skip();
    apm_compact::Scalar scalar;
    const bool inPlace = value.scalar(scalar);
    if (!inPlace || scalar.kind == apm_compact::Scalar::Kind::Null) {
      // The conversion logs what it refuses, as for a dictionary.
      const platform::Object object = inPlace ? platform::Object() : value.object();
      if (auto converted = APMValue::valueFromParameterObject(object)) {
        parameters_.insert_or_assign(std::move(name), std::move(*converted));
      }
      return;
    }
    switch (scalar.kind) {
      case apm_compact::Scalar::Kind::Integer:
        parameters_.insert_or_assign(std::move(name), APMValue(scalar.integer));
        return;
      case apm_compact::Scalar::Kind::Double:
        parameters_.insert_or_assign(std::move(name), APMValue(scalar.number));
        return;
      default:
        parameters_.insert_or_assign(std::move(name), APMValue(std::string(scalar.text)));
        return;
    }
  });
}

std::optional<APMParameters> APMEvent::screenParametersInPlace(const platform::Dictionary& screenParameters) {
  APMParameters converted;
  for (const auto& [name, value] : screenParameters) {
    if (!APMIsScreenParameterName(name)) continue;
    switch (value.kind()) {
      case platform::Object::Kind::String:
      case platform::Object::Kind::Integer:
      case platform::Object::Kind::Double:
      case platform::Object::Kind::Bool:
        break;
      default:
        return std::nullopt;  // refused or made into items, as addScreenParameters does it
    }
    auto joined = APMValue::valueFromParameterObject(value);
    if (!joined) return std::nullopt;
    converted.insert_or_assign(converted.end(), name, std::move(*joined));
  }
  return converted;
}

void APMEvent::addConvertedScreenParameters(const APMParameters& screenParameters) {
  changedParameters().insertOrAssignAll(screenParameters);
}

void APMEvent::setParameter(const std::string& name, APMValue value) {
  changedParameters().insert_or_assign(name, std::move(value));
}

void APMEvent::removeParameter(const std::string& name) { changedParameters().erase(name); }

bool APMEvent::flag(std::string_view name) const {
  // The road reads the flags of every event, and an event holds a handful of parameters: one sweep
  // that tests the length first, stopping where names sort past the flag's first character, costs
  // less than the ordered search.
  const auto first = static_cast<unsigned char>(name.front());
  for (const auto& [key, value] : parameters_) {
    if (!key.empty() && static_cast<unsigned char>(key.front()) > first) break;
    if (key.size() == name.size() && std::memcmp(key.data(), name.data(), name.size()) == 0) {
      return value.isInt64() && value.int64Value() == 1;
    }
  }
  return false;
}

void APMEvent::setFlag(const char* name, bool on) {
  if (on) {
    changedParameters().insert_or_assign(name, APMValue(int64_t{1}));
  } else {
    changedParameters().erase(name);
  }
}

void APMEvent::setConversion(bool conversion) { setFlag("_c", conversion); }
void APMEvent::setRealtime(bool realtime) { setFlag("_r", realtime); }
void APMEvent::setDebug(bool debug) { setFlag("_dbg", debug); }
bool APMEvent::isConversion() const { return flag("_c"); }
bool APMEvent::isRealtime() const { return flag("_r"); }
bool APMEvent::isDebug() const { return flag("_dbg"); }

void APMEvent::keepStoredBody() {
  APMEventEncoding::encodeBody(*this, storedBody_);
  hasStoredBody_ = true;
}

APMEditEventForm APMEvent::editEvent() const {
  APMEditEventForm form;
  form.name = APMPublicEventName(name_);
  form.timestamp = timestamp_;
  form.parameters = APMDictionaryFromParameters(parameters_);
  return form;
}

std::shared_ptr<APMEvent> APMEvent::eventFromEditEvent(const APMEditEventForm& editEvent) {
  const platform::Object* origin = platform::find(editEvent.parameters, "_o");
  const std::string originText = origin && origin->isString() && !origin->stringValue().empty() ? origin->stringValue() : "app";
  return create(originText, false, APMInternalEventName(editEvent.name), editEvent.timestamp, 0,
                APMParametersFromDictionary(editEvent.parameters));
}

bool APMEvent::operator==(const APMEvent& other) const {
  return origin_ == other.origin_ && isPublic_ == other.isPublic_ && name_ == other.name_ &&
         timestamp_ == other.timestamp_ && previousTimestamp_ == other.previousTimestamp_ &&
         parameters_ == other.parameters_;
}

int64_t APMEffectiveEventCount(const APMEvent& event) {
  int64_t count = 1;
  for (const auto& [name, value] : event.parameters()) {
    if (value.isArray()) count += static_cast<int64_t>(value.arrayValue().size());
  }
  return count;
}
