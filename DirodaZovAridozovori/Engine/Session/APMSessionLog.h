#pragma once
// The session reporter's message codes (33000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMSessionLogCode : int64_t {
  kReceivedNegativeTimeoutSessionDuration = 33001,
  kIncurredEngagementTimeNegative = 33004,
  kSessionStartEventNotLogged = 33005,
  kUserEngagementEventNotLogged = 33006,
};
template <>
inline constexpr bool kAPMIsLogCode<APMSessionLogCode> = true;
