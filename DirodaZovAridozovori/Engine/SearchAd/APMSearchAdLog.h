#pragma once
// The search-ad reporter's message codes (32000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMSearchAdLogCode : int64_t {
  kCannotInitSearchAdReporter = 32000,
  kCannotInitSearchAdReporterPersistedConfig = 32001,
  kSearchAdCampaignAttributionAlreadyReported = 32002,
  kSearchAdReportNotScheduled = 32004,
  kSearchAdCampaignAttributionAlarmAlready = 32005,
  kSchedulingSearchAdReportTimer = 32006,
  kSearchAdCampaignAttributionExceedsMax = 32007,
  kSearchAdCampaignAlreadyTracked = 32008,
  kSearchAdCampaignWithoutClickTime = 32009,
  kSearchAdCampaignAttributionAlarmAlreadyCanceled = 32013,
  kAdServicesFrameworkNotLinked = 32014,
  kCannotSendRequestSearchAdCampaign = 32015,
  kSearchAdReporterReturnedTestData = 32016,
  kSearchAdReporterFailedParseJSON = 32017,
  kCannotSendRequestSearchAdCampaignAttribution = 32018,
  kSearchAdAttributionReporterDisabledSimulator = 32019,
};
template <>
inline constexpr bool kAPMIsLogCode<APMSearchAdLogCode> = true;
