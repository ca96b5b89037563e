#pragma once
// The message codes of the measurement core: alarms (2000s), environment facts (14000s), numeric
// utilities (26000s) and the worker scheduler (30000s). Lines go out through APMLog.

#include <cstdint>

#include "APMLogChannel.h"

enum class APMCoreLogCode : int64_t {
  kAlarmEmptyBlock = 2000,
  kAlarmFired = 2001,
  kAlarmScheduled = 2002,
  kAlarmCanceled = 2003,
  kAlarmNotActive = 2004,
  kNoDeviceModel = 14000,
  kNoPreferredLanguage = 14001,
  kNotDecimalString = 26001,
  kUnreadableDecimal = 26002,
  kDecimalPrecisionLoss = 26003,
  kRandomIntegerFailed = 26004,
  kWorkerQueueException = 30000,
  kNotOnBackgroundThread = 30001,
  kNilSyncBlock = 30002,
  kWorkerQueueSyncException = 30003,
  kSyncTaskFailed = 30004,
  kNilAsyncBlock = 30005,
};
template <>
inline constexpr bool kAPMIsLogCode<APMCoreLogCode> = true;
