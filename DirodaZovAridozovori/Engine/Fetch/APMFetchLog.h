#pragma once
// The configuration fetch's message codes (23000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMFetchLogCode : int64_t {
  kConfigurationDataInvalid = 23135,
  kConfigurationWithoutValidAppID = 23136,
  kFailedUpdateAudiencesNewServerConfiguration = 23137,
  kFailedUpdateConfigurationNewServerConfiguration = 23138,
};
template <>
inline constexpr bool kAPMIsLogCode<APMFetchLogCode> = true;
