#pragma once
// What every part of the front shares: the engine it hands on to, the guard around work on its
// queues, and small readers of the host's dictionaries.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "APMAnalyticsLog.h"
#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMEventParameters.h"
#include "platform/Object.h"

namespace apmfront {

inline std::shared_ptr<APMMeasurement> engine() { return APMEngineRegistry::sharedInstance(); }

// Work on the serial queue catches everything: a host callback must not end the process.
template <typename Work>
void runGuarded(const Work& work) {
  try {
    work();
  } catch (const std::exception& e) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kExceptionAnalyticsQueue,
           "Exception on the analytics queue", std::string(e.what()));
  } catch (...) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kExceptionAnalyticsQueue,
           "Exception on the analytics queue");
  }
}

inline std::function<void()> guarded(std::function<void()> block) {
  return [block = std::move(block)] { runGuarded(block); };
}

inline std::optional<bool> optionalBool(const platform::Object& value) {
  if (!value.isNumber()) return std::nullopt;
  return value.boolValue();
}

// A copy: a reference into a temporary Object would dangle once the statement ends.
inline platform::Object valueFor(const platform::Dictionary& dictionary, const std::string& key) {
  const platform::Object* found = platform::find(dictionary, key);
  return found ? *found : platform::Object();
}

inline platform::Dictionary dictionaryOrEmpty(const std::optional<platform::Dictionary>& dictionary) {
  return dictionary ? *dictionary : platform::Dictionary{};
}

// Shared by the public-name checks: an error event for a refused name.
inline void logRefusedName(bool reserved, int64_t reservedCode, int64_t otherCode, const std::string& name,
                           size_t limit) {
  APMLogErrorEventForName(reserved ? reservedCode : otherCode, name, limit, platform::Object(name));
}

}  // namespace apmfront
