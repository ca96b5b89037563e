#pragma once
// The message codes of the engine front and the public API (25000s). Many of these lines are at
// silent levels: a log sink is how a host's diagnostics follow what the front did. Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMAnalyticsLogCode : int64_t {
  kReceivedSetEnabledNotificationWithoutNSNumber = 25000,
  kExceptionAnalyticsQueue = 25001,
  kUserPropertyMustNSString = 25003,
  kUserIDMustNSString = 25004,
  kUnableSetUserProperty = 25005,
  kAnalyticsUserPropertiesCallbackCannotNil = 25006,
  kCannotQueryAnalyticsUserProperties = 25007,
  kCannotQueryPublicUserPropertiesWhen = 25008,
  kCannotQueryAnalyticsMaxUserProperties = 25009,
  kCannotQueryAnalyticsMaxUserPropertiesQueue = 25010,
  kNilMaxUserPropertiesCallback = 25011,
  kAttemptedAdditionNilLogEventListener = 25012,
  kAttemptedRemovalNilLogEvent = 25013,
  kAttemptedRemovalNilLogEventListener = 25014,
  kAttemptedRemovalLogEventListenerInvalid = 25015,
  kTagRuntimeWithoutSharedInstance = 25016,
  kEventNotLogged = 25018,
  kUserPropertyNotSet = 25019,
  kAdEventIDStringNotNumber = 25024,
  kDeferringZoredodeEventDataCollection = 25026,
  kDeferringDirodaAnalyticsZoredodeEventData = 25027,
  kDetectedOlderVersionDirodaAnalyticsZoredode = 25029,
  kInvalidMonitorTag = 25030,
  kPersonalizedAdsPropertyChangedWhileAnalytics = 25033,
  kInvalidSafelistedEventParameter = 25034,
  kInvalidEventNameSafelisting = 25035,
  kAppDelegateProxyDisabled = 25036,
  kFailedResetAnalyticsData = 25037,
  kFailedGetInstallationID = 25038,
  kCannotGenerateNewAppInstanceID = 25039,
  kDiscardingEmptyConsentSettings = 25041,
  kValidConsentValuesGrantedDenied = 25042,
  kIgnoringLowerPriorityConsentSettings = 25043,
  kAnalyticsDisabled = 25044,
  kAnalyticsSessionIDCompletionCannotNil = 25050,
  kEmailAddressNotSet = 25051,
  kPhoneNumberNotSet = 25052,
  kHashedEmailAddressNotSet = 25053,
  kHashedPhoneNumberNotSet = 25054,
  kConsentState = 25055,
  kHashedEmailAddressWrongSize = 25056,
  kHashedPhoneNumberWrongSize = 25057,
  kSessionTimeoutIntervalSet = 25059,
  kSessionTimeoutIntervalCannotSetNegative = 25060,
  kNotEveryEventStoredBeforeProcess = 25061,
  kCallersWaitForRoom = 25062,
};
template <>
inline constexpr bool kAPMIsLogCode<APMAnalyticsLogCode> = true;
