#pragma once
// The ad-exposure reporter's message codes (1000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMAdExposureLogCode : int64_t {
  kIgnoringCallBeginAdUnitExposure = 1000,
  kReachedLimitAdUnits = 1002,
  kIgnoringCallEndAdUnitExposure = 1003,
  kUnknownAdUnit = 1004,
  kAdExposureNotLogged = 1005,
  kAdExposureClockUnreadable = 1006,
  kAdUnitExposureNotLogged = 1007,
  kAdUnitExposureEmptyID = 1008,
  kAdUnitExposureClockUnreadable = 1009,
  kAdExposureNotLoggedAppNotActive = 1010,
  kAdUnitExposureAppNotActive = 1011,
};
template <>
inline constexpr bool kAPMIsLogCode<APMAdExposureLogCode> = true;
