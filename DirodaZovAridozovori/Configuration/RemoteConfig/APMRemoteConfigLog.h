#pragma once
// The message codes of the remote configuration (29000s). Lines go out through APMLog.

#include <cstdint>

#include "APMLogChannel.h"

enum class APMRemoteConfigLogCode : int64_t {
  kNoAppID = 29000,
  kNoDatabase = 29001,
  kDefaultConfigNotUpdated = 29002,
  kEmptyConfigNotStored = 29003,
  kAppIDMismatch = 29004,
  kConfigNotStored = 29005,
  kEmptyEventName = 29006,
  kNoLastUpdateTimestamp = 29007,
  kNoDefaultInstanceUpdateTimestamp = 29008,
  kUpdateTimestampQueryFailed = 29009,
  kFetchURLWithoutPlatform = 29010,
  kEmptyConfigParsed = 29012,
  kEmptyEventConfigName = 29013,
  kConfigParsed = 29014,
  kNoDefaultInstanceConfig = 29015,
  kConfigNotRead = 29016,
  kConfigNotInDatabase = 29017,
  kNumberFromNonString = 29018,
  kEmptyValueNotCached = 29019,
  kEmptySettingKey = 29020,
  kFetchURLWithoutAppID = 29021,
  kStaleSnapshotNotActivated = 29023,
  kSnapshotNotActivated = 29024,
  kExperimentNotFetched = 29025,
  kEventEditingNotStarted = 29026,
  kLoadingPrograms = 29027,
};
template <>
inline constexpr bool kAPMIsLogCode<APMRemoteConfigLogCode> = true;
