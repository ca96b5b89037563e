#pragma once
// The screen-view reporter's message codes (31000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMScreenViewLogCode : int64_t {
  kIgnoringCallSetScreenName = 31000,
  kScreenViewEventNotLogged = 31013,
  kScreenClassNameEmpty = 31014,
  kScreenClassNameInvalid = 31015,
  kScreenViewWhileInactive = 31026,
  kReceivedInvalidNameScreen = 31027,
  kReceivedInvalidClassScreen = 31028,
  kLoggingScreenViewScreenNameScreen = 31029,
};
template <>
inline constexpr bool kAPMIsLogCode<APMScreenViewLogCode> = true;
