#include "APMUploadSchedule.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kEpsilon = 2.220446049250313e-16;
}

double APMNextUploadingTime(const APMUploadScheduleInputs& in) {
  const double latest = in.latestDataTimestamp;
  if (std::fabs(latest) <= kEpsilon) return 0;
  const double interval = (in.debugMode || in.hasRealtimeData) ? in.realtimeUploadInterval : in.uploadInterval;
  const double success = in.lastSuccessfulUploadTimestamp;
  const double failure = in.lastFailedUploadTimestamp;
  // A data time in the future (a clock set back) counts as far in the past as it is ahead.
  const double base = in.now - std::fabs(latest - in.now);

  double next = std::fabs(in.now - success) < interval ? success + interval : base + in.initialUploadDelay;
  if (base <= failure) {
    for (int32_t k = 0; k < in.retryCount; ++k) {
      next += in.retryTime * std::ldexp(1.0, k);
      if (next > failure) return next;
    }
    return 0;
  }
  if (in.debugMode) return std::min(next, base + in.debugUploadInterval);
  return next;
}

double APMUploadTimeAfterBackoff(double nextUploadTime, double lastBackoffTimestamp, double backoffPeriod,
                                 double now) {
  if (lastBackoffTimestamp == 0 || now - lastBackoffTimestamp >= backoffPeriod) return nextUploadTime;
  return std::max(nextUploadTime, lastBackoffTimestamp + backoffPeriod);
}

double APMUploadAlarmDelay(double nextUploadTime, double now) {
  const double delay = nextUploadTime - now;
  return std::fabs(delay) <= kEpsilon ? 0.001 : delay;
}

bool APMIsSuccessfulUploadStatus(int64_t status) { return status == 200 || status == 204; }

bool APMIsBackoffUploadStatus(int64_t status) { return status == 429 || status == 503; }
