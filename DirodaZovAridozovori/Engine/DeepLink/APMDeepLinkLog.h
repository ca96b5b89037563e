#pragma once
// The deep-link reporter's message codes (23000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMDeepLinkLogCode : int64_t {
  kDeepLinkWebURLQueryEmpty = 23000,
  kDeepLinkDoesNotContainValid = 23001,
  kUserActivityEmpty = 23003,
  kUserActivityDoesNotHaveDeep = 23006,
  kDoNotCallHandleNonFirstOpenOpenURLMeasurementWorker = 23163,
  kDeferredDeepLinkFeatureDisabled = 23193,
  kAlreadyRetrievedDeferredDeepLink = 23194,
  kFailedRetrieveDeferredDeepLink = 23195,
  kIDFAUnavailableRetrieveDeferredDeepLink = 23196,
  kDeferredDeepLinkFeatureEnabled = 23197,
  kURLRetrieveDeferredDeepLinkInvalid = 23198,
  kFailedRetrieveDeferredDeepLinkRetryNext = 23199,
  kSuccessfullyRetrievedDeferredDeepLink = 23200,
  kDeferredDeepLinkResponseEmpty = 23201,
  kFailedParseDeferredDeepLinkJSON = 23202,
  kSendingDeferredDeepLinkAppDelegate = 23203,
  kAppDelegateNotConfiguredHandleDeferred = 23204,
  kIDFAUnavailableRetrieveDeferredDeepLinkDue = 23252,
};
template <>
inline constexpr bool kAPMIsLogCode<APMDeepLinkLogCode> = true;
