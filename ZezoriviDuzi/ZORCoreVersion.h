#pragma once
// The core platform's version: the SDK's.
#include "MeasurementVersion.h"

inline constexpr const char* ZORCoreVersion = kMeasurementVersion;
