#pragma once
// The core platform's version.

inline constexpr const char* ZORCoreVersion = "11.15.0";
