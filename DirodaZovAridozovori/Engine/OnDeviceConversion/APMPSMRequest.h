#pragma once
// The queue-free rules of a private-set-membership query: which counter and query key an input
// type uses, the request URL built on the client's own, the first-open window, and the retry delay.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/URL.h"

// The counter user property a client's queries raise, and the key its count travels under.
struct APMPSMInputKind {
  const char* counterName;
  const char* queryKey;
};
APMPSMInputKind APMPSMInputKindForInputType(int64_t inputType);

// The user properties a query counts in, one per input kind.
inline constexpr const char* kAPMPSMCounterNames[] = {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};

// What the request URL carries besides the client's own URL.
struct APMPSMRequestParameters {
  int64_t inputType = 0;
  int64_t queryCount = 0;                  // the input kind's counter (0 when never raised)
  int64_t firstOpenMilliseconds = 0;       // the persisted first-open time (0 when unknown)
  std::optional<std::string> debugKey;     // only when debugging on-device conversion is asked for
};

// The client's URL with the query count, the next whole minute after the first open (in seconds)
// and the debug key appended as query items; a pair with an empty key or value is left out.
platform::URL APMPSMRequestURL(const platform::URL& clientURL, const APMPSMRequestParameters& parameters);

// The whole minute after the given time (seconds), also when it is one already.
int64_t APMPSMNextWholeMinute(double seconds);

// Whether now lies within maxSignInDelayInDays days of the first open, either way. Any number of
// days is taken as given: the window never wraps around.
bool APMPSMIsWithinFirstOpenWindow(double now, double firstOpenSeconds, int64_t maxSignInDelayInDays);

// Seconds before the retry that follows failedAttempts earlier failures: interval x 2^failedAttempts.
double APMPSMRetryDelay(double retryInterval, int32_t failedAttempts);
