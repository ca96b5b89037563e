#pragma once
// When the next experiment fetch is due: the fetch timestamps kept in the experiment suite and the
// rhythm they feed (4 hours after a success, a doubling retry ladder after failures, a 12-hour
// pause after the service asked for back-off, and the short first delay of a process).
//
// Threads: the stored timestamps are read and written on the task manager's worker queue; the
// initial-fetch flag is atomic because a test or the owner may read it from elsewhere.

#include <atomic>
#include <memory>

#include "APMUserDefaults.h"

class APMEFetchSchedule {
 public:
  static constexpr const char* kSuiteName = "APMExperimentSuiteName";
  static constexpr const char* kFetchSuccessTimestampKey = "APMExperimentFetchSuccessTimestamp";
  static constexpr const char* kFetchFailureTimestampKey = "APMExperimentFetchFailureTimestamp";
  static constexpr const char* kFetchBackoffTimestampKey = "APMExperimentFetchBackoffTimestamp";
  // Seconds between successful fetches, before the first fetch of a process, of the first retry
  // step (each further step doubles), and of the pause the service can ask for.
  static constexpr double kFetchInterval = 14400;
  static constexpr double kInitialFetchDelay = 10;
  static constexpr double kRetryInterval = 1800;
  static constexpr int kMaxRetries = 6;
  static constexpr double kBackoffInterval = 43200;

  APMEFetchSchedule(std::shared_ptr<APMUserDefaults> persistedStorage, double initTimestamp);

  // The next fetch time (seconds since 1970) from the last success and failure, or 0 when the
  // retries since the last success are used up. The first call of a process waits at most the
  // initial delay longer than the success rhythm asks.
  static double nextFetchTime(double lastSuccess, double lastFailure, double now, bool isFirstCall,
                              double initializationTimestamp);
  // nextFetchTime for now; the first call in the process ends the initial-fetch rule.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  // fetchTimeFromLastSuccessfulTimestamp with the stored timestamps.
  double fetchTimeFromStoredTimestamps();
  // The fetch time moved past a back-off the service asked for less than kBackoffInterval ago.
  double fetchTimeRespectingBackoff(double fetchTime, double now) const;

  // A success (or a fetch postponed by a full period) restarts the rhythm from now.
  void recordSuccess(double now);
  // A failed fetch; the service's back-off statuses also start the pause.
  void recordFailure(double now, bool askedForBackoff);
  // The retries are used up: no success to count the ladder from any more.
  void forgetLastSuccess();
  void removeTimestamps();

  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_.load(); }
  double initializationTimestamp() const { return initializationTimestamp_; }
  const std::shared_ptr<APMUserDefaults>& persistedStorage() const { return persistedStorage_; }

 private:
  std::shared_ptr<APMUserDefaults> persistedStorage_;
  std::atomic<bool> hasMadeInitialFetch_{false};
  double initializationTimestamp_;
};
