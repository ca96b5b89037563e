#pragma once
// The conditional-user-property controller's message codes (10000s for triggers, timeouts and
// expiries, 11000s for setting and removing). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMConditionalUserPropertyLogCode : int64_t {
  kCannotFetchTimedOutConditionalUser = 10001,
  kConditionalUserPropertyTimedOut = 10002,
  kCannotDeleteTimedOutConditionUser = 10003,
  kCannotFetchExpiredConditionalUserProperties = 10004,
  kConditionalUserPropertyExpired = 10005,
  kCannotRemoveConditionalUserProperty = 10006,
  kCannotDeleteExpiredConditionUserProperty = 10007,
  kCannotFetchTriggeringConditionalUserProperties = 10008,
  kCannotUpdateUserPropertyConditionalUser = 10009,
  kUserPropertyUpdated = 10010,
  kCannotUpdateConditionalUserProperty = 10011,
  kInvalidConditionalUserPropertyTriggerTimeout = 11000,
  kInvalidConditionalUserPropertyTimeLive = 11001,
  kCannotSetNilConditionalUserProperty = 11002,
  kCannotQueryConditionalUserProperties = 11005,
  kCannotQueryConditionalUserPropertiesNamePrefix = 11006,
  kCannotSetConditionalUserProperty = 11007,
  kCannotSetNilConditionalUserPropertyWorker = 11008,
  kCannotQueryConditionalUserProperty = 11009,
  kUpdatingConditionalUserPropertyDifferentOrigin = 11010,
  kCannotUpdateUserPropertyConditionalUserProperty = 11011,
  kUserPropertyUpdatedNameOrigin = 11012,
  kConditionalUserPropertyAdded = 11013,
  kCannotInsertUserPropertyConditionalUser = 11014,
  kCannotRemoveConditionalUserPropertyAnalyticsDisabled = 11015,
  kCannotRemoveNilConditionalUserProperty = 11016,
  kCannotQueryConditionalUserPropertyRemove = 11017,
  kCannotRemoveNonexistentConditionalUserProperty = 11018,
  kCannotDeleteConditionalUserProperty = 11019,
  kCannotRemoveConditionalUserPropertyFailedDelete = 11020,
};
template <>
inline constexpr bool kAPMIsLogCode<APMConditionalUserPropertyLogCode> = true;
