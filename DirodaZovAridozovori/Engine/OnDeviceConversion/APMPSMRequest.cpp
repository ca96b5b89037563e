#include "APMPSMRequest.h"

#include <cmath>
#include <vector>

namespace {

constexpr const char* kTimestampFirstOpenKey = "timestamp_first_open";
constexpr const char* kDebugKeyKey = "debug_psm_key";
constexpr double kSecondsPerDay = 86400;
constexpr double kSecondsPerMinute = 60;

void appendPair(std::vector<platform::URLQueryItem>& items, const std::string& key, const std::string& value) {
  if (key.empty() || value.empty()) return;
  items.push_back({key, value});
}

}  // namespace

APMPSMInputKind APMPSMInputKindForInputType(int64_t inputType) {
  switch (inputType) {
    case 2:
      return {"_psmcountph", "psm_phone_count"};
    case 3:
      return {"_psmcounth", "psm_count"};
    case 4:
      return {"_psmcounthph", "psm_phone_count"};
    default:
      return {"_psmcount", "psm_count"};
  }
}

int64_t APMPSMNextWholeMinute(double seconds) {
  return static_cast<int64_t>(std::floor(seconds / kSecondsPerMinute) * kSecondsPerMinute + kSecondsPerMinute);
}

platform::URL APMPSMRequestURL(const platform::URL& clientURL, const APMPSMRequestParameters& parameters) {
  std::vector<platform::URLQueryItem> items;
  const APMPSMInputKind kind = APMPSMInputKindForInputType(parameters.inputType);
  appendPair(items, kind.queryKey, std::to_string(parameters.queryCount));
  if (parameters.firstOpenMilliseconds > 0) {
    const double firstOpenSeconds = static_cast<double>(parameters.firstOpenMilliseconds) / 1000.0;
    appendPair(items, kTimestampFirstOpenKey, std::to_string(APMPSMNextWholeMinute(firstOpenSeconds)));
  }
  if (parameters.debugKey) appendPair(items, kDebugKeyKey, *parameters.debugKey);
  // Appended as query items, so a "?" starts the query where the client's URL has none and a
  // debug key cannot add parameters of its own.
  return clientURL.appendingQueryItems(items);
}

bool APMPSMIsWithinFirstOpenWindow(double now, double firstOpenSeconds, int64_t maxSignInDelayInDays) {
  // In floating point: the configured number of days is not bounded, and days x 86400 overflows
  // 32 bits from 24,856 days on.
  const double window = static_cast<double>(maxSignInDelayInDays) * kSecondsPerDay;
  return std::fabs(now - firstOpenSeconds) <= window;
}

double APMPSMRetryDelay(double retryInterval, int32_t failedAttempts) {
  return std::ldexp(retryInterval, failedAttempts < 0 ? 0 : failedAttempts);
}
