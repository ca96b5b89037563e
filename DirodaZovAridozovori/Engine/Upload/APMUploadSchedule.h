#pragma once
// When the next upload is due: the interval after a success, the initial delay after new data, the
// doubling retry schedule after a failure, and the server's back-off after 429 or 503. Pure
// arithmetic over wall-clock seconds since 1970, so every rule can be checked directly.

#include <cstdint>

struct APMUploadScheduleInputs {
  double now = 0;
  double lastSuccessfulUploadTimestamp = 0;  // S; 0 = never
  double lastFailedUploadTimestamp = 0;      // F; 0 = never
  double latestDataTimestamp = 0;            // L: newest raw event or queued bundle; 0 = none
  bool debugMode = false;
  bool hasRealtimeData = false;
  double uploadInterval = 3600;
  double realtimeUploadInterval = 10;
  double debugUploadInterval = 1;
  double initialUploadDelay = 15;
  int32_t retryCount = 6;
  double retryTime = 1800;
};

// Seconds since 1970 of the next upload, or 0 when none is to be scheduled (no data, or the
// retries after the last failure are used up).
double APMNextUploadingTime(const APMUploadScheduleInputs& inputs);

// The upload time moved past the back-off period of the last 429 or 503 reply, while it lasts.
double APMUploadTimeAfterBackoff(double nextUploadTime, double lastBackoffTimestamp, double backoffPeriod,
                                 double now);

// The alarm delay for an upload at nextUploadTime: a delay of (about) zero becomes 0.001 s so the
// alarm still goes through the queue; a negative one fires at once.
double APMUploadAlarmDelay(double nextUploadTime, double now);

// Whether a reply status counts as success (200, 204) or asks for back-off (429, 503).
bool APMIsSuccessfulUploadStatus(int64_t status);
bool APMIsBackoffUploadStatus(int64_t status);
