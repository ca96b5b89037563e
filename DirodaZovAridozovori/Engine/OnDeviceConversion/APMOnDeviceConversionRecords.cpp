#include "APMOnDeviceConversionRecords.h"

#include <climits>
#include <cmath>

#include "APMDatabase.h"
#include "APMEvent.h"
#include "APMPSMRequest.h"
#include "APMUserAttribute.h"
#include "platform/Clock.h"

void APMOnDeviceConversionRecords::raiseQueryCounter(APMEngineContext& engine, int64_t inputType) {
  const char* name = APMPSMInputKindForInputType(inputType).counterName;
  const int64_t count = integerUserProperty(engine, name).value_or(0);
  const int64_t raised = count == INT64_MAX ? count : count + 1;
  setInternalUserProperty(engine, name, APMValue(raised), platform::now());
}

void APMOnDeviceConversionRecords::setInternalUserProperty(APMEngineContext& engine, const std::string& name,
                                                           const APMValue& value, double timestamp) {
  // With setUserPropertyInDatabaseOnWorkerQueue, as the engine sets its own internal properties,
  // not through the user-property entry point: that one is gated by the collection switch, and a
  // query answered after collection was switched off must still count, and its match must stay
  // with the row and the event written for it.
  engine.setUserProperty(APMUserAttribute(kOrigin, name, value, timestamp));
}

std::optional<int64_t> APMOnDeviceConversionRecords::integerUserProperty(APMEngineContext& engine,
                                                                         const std::string& name) {
  if (!engine.database()) return std::nullopt;
  platform::Error error;
  auto property = engine.database()->userProperties().userAttributeWithName(name, &error);
  if (!property) return std::nullopt;
  const APMValue& value = property->value();
  if (value.isInt64()) return value.int64Value();
  // Only doubles that hold an exact integer count on from it.
  constexpr double kLimit = 9007199254740992.0;  // 2^53: every integer below it is exact
  if (value.isDouble() && std::fabs(value.doubleValue()) < kLimit) return static_cast<int64_t>(value.doubleValue());
  return std::nullopt;
}

bool APMOnDeviceConversionRecords::userPropertyExists(APMEngineContext& engine, const std::string& name) {
  if (!engine.database()) return false;
  platform::Error error;
  return engine.database()->userProperties().containsUserAttributeWithName(name, &error).value_or(false);
}

void APMOnDeviceConversionRecords::removeUserPropertyIfPresent(APMEngineContext& engine, const std::string& name) {
  if (!userPropertyExists(engine, name)) return;
  engine.removeUserProperty(APMUserAttribute(kOrigin, name, APMValue(), 0));
}

void APMOnDeviceConversionRecords::writeMatchEvent(APMEngineContext& engine, const char* source) {
  auto event = APMEvent::create(kOrigin, false, kMatchEventName, platform::now(), 0,
                                APMParameters{{kMatchSourceParameter, APMValue(source)}});
  if (!event) return;
  event->setRealtime(true);
  engine.writeEvent(event);
}
