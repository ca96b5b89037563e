#include "APMEFetchSchedule.h"

#include <algorithm>
#include <cmath>

#include "platform/Clock.h"

APMEFetchSchedule::APMEFetchSchedule(std::shared_ptr<APMUserDefaults> persistedStorage, double initTimestamp)
    : persistedStorage_(std::move(persistedStorage)), initializationTimestamp_(initTimestamp) {}

double APMEFetchSchedule::nextFetchTime(double lastSuccess, double lastFailure, double now, bool isFirstCall,
                                        double initializationTimestamp) {
  // A success "in the future" (the clock was set back) counts as long ago as it is ahead; no
  // success at all (0) gives a base of 0.
  const double base = now - std::fabs(lastSuccess - now);
  const double next = base + kFetchInterval;
  if (isFirstCall) return std::max(now + kInitialFetchDelay, next);
  if (lastFailure <= 0) return next;
  double candidate = base != 0 ? next : initializationTimestamp;
  double step = kRetryInterval;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt, step *= 2) {
    candidate += step;
    if (candidate > lastFailure) return candidate;
  }
  return 0;
}

double APMEFetchSchedule::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure) {
  const bool isFirstCall = !hasMadeInitialFetch_.exchange(true);
  return nextFetchTime(lastSuccess, lastFailure, platform::now(), isFirstCall, initializationTimestamp_);
}

double APMEFetchSchedule::fetchTimeFromStoredTimestamps() {
  return fetchTimeFromLastSuccessfulTimestamp(persistedStorage_->doubleForKey(kFetchSuccessTimestampKey),
                                              persistedStorage_->doubleForKey(kFetchFailureTimestampKey));
}

double APMEFetchSchedule::fetchTimeRespectingBackoff(double fetchTime, double now) const {
  const double backoff = persistedStorage_->doubleForKey(kFetchBackoffTimestampKey);
  if (backoff != 0 && now - backoff < kBackoffInterval) fetchTime = std::max(fetchTime, backoff + kBackoffInterval);
  return fetchTime;
}

void APMEFetchSchedule::recordSuccess(double now) {
  persistedStorage_->setDouble(now, kFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kFetchBackoffTimestampKey);
}

void APMEFetchSchedule::recordFailure(double now, bool askedForBackoff) {
  persistedStorage_->setDouble(now, kFetchFailureTimestampKey);
  if (askedForBackoff) persistedStorage_->setDouble(now, kFetchBackoffTimestampKey);
}

void APMEFetchSchedule::forgetLastSuccess() { persistedStorage_->removeObjectForKey(kFetchSuccessTimestampKey); }

void APMEFetchSchedule::removeTimestamps() {
  for (const char* key : {kFetchSuccessTimestampKey, kFetchFailureTimestampKey, kFetchBackoffTimestampKey}) {
    persistedStorage_->removeObjectForKey(key);
  }
}
