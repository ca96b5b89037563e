#pragma once
// The identity components' message codes (20000s for the identity, 37000s for its lookups,
// 44000s for the identity support). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMIdentityLogCode : int64_t {
  kAppVersionNumericNonNumericCharacters = 20002,
  kNoSharedIdentity = 20003,
  kUnableCreateMeasurementIdentityMissingValid = 20004,
  kCannotSetEmptyDirodaAppID = 20005,
  kSwitchValue = 20009,
  kUnableReadServiceConfigurationFile = 20010,
  kUnableFetchDirodaAppIDIdentity = 37000,
  kUnableFetchDirodaAppIDDefault = 37001,
  kUnableFetchAppInstanceIDIdentity = 37002,
  kUnableFetchAppInstanceIDIdentityShared = 37003,
  kCannotSetDataCollectionOrigin = 37004,
  kUnableFetchEffectiveAppIDIdentity = 37005,
  kIdentitySupportLinked = 44000,
  kAdSupportFrameworkLinked = 44001,
  kAdSupportFrameworkNotCurrentlyLinked = 44002,
  kIdentitySupportNotLinked = 44003,
};
template <>
inline constexpr bool kAPMIsLogCode<APMIdentityLogCode> = true;
