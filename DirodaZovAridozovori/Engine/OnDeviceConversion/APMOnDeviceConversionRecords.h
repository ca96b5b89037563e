#pragma once
// What a conversion match leaves behind, and the steps that write it: the "odm_values" rows and
// the internal user properties that mirror them, the counters of answered queries, and the "_fx"
// event announcing a stored value. Every step runs on the engine's worker queue.

#include <cstdint>
#include <optional>
#include <string>

#include "APMEngineComponent.h"
#include "APMValue.h"

struct APMOnDeviceConversionRecords {
  // Rows of "odm_values" and the user properties that mirror them.
  static constexpr const char* kODM1ValueName = "odm1_value";
  static constexpr const char* kODM2ValueName = "odm2_value";
  static constexpr const char* kPSMValueProperty = "_psmvalue";
  static constexpr const char* kODM2ValueProperty = "_psmvalue_zads";
  static constexpr const char* kOrigin = "auto";
  // The event announcing a stored value, and its source parameter.
  static constexpr const char* kMatchEventName = "_fx";
  static constexpr const char* kMatchSourceParameter = "_fxs";
  static constexpr const char* kODM1MatchSource = "psm";
  static constexpr const char* kODM2MatchSource = "psm_zads";
  // A stored match older than this (seconds) is dropped at start-up.
  static constexpr double kValueLifetime = 7776000;

  static void raiseQueryCounter(APMEngineContext& engine, int64_t inputType);
  static void setInternalUserProperty(APMEngineContext& engine, const std::string& name, const APMValue& value,
                                      double timestamp);
  static std::optional<int64_t> integerUserProperty(APMEngineContext& engine, const std::string& name);
  static bool userPropertyExists(APMEngineContext& engine, const std::string& name);
  static void removeUserPropertyIfPresent(APMEngineContext& engine, const std::string& name);
  static void writeMatchEvent(APMEngineContext& engine, const char* source);
};
