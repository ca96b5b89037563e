#include "APMStoredDeepLink.h"

#include <cmath>

#include "platform/Clock.h"

namespace {
constexpr int64_t kMillisecondsPerHour = 3600000;
}  // namespace

void storeDeepLink(platform::UserDefaults& defaults, const std::string& link) {
  defaults.setObject(kAPMStoredDeepLinkKey, platform::Object(link));
  defaults.setDouble(kAPMStoredDeepLinkTimestampKey, platform::now());
}

bool hasStoredDeepLink(platform::UserDefaults& defaults) {
  return defaults.object(kAPMStoredDeepLinkKey).isString() && APMStoredDeepLinkTimestamp(defaults).has_value();
}

std::optional<std::string> APMStoredDeepLink(platform::UserDefaults& defaults) {
  auto link = defaults.string(kAPMStoredDeepLinkKey);
  if (!link || link->empty()) return std::nullopt;
  return link;
}

std::optional<double> APMStoredDeepLinkTimestamp(platform::UserDefaults& defaults) {
  platform::Object stored = defaults.object(kAPMStoredDeepLinkTimestampKey);
  if (!stored.isNumber()) return std::nullopt;
  return stored.doubleValue();
}

void removeStoredDeepLink(platform::UserDefaults& defaults) {
  defaults.removeObject(kAPMStoredDeepLinkKey);
  defaults.removeObject(kAPMStoredDeepLinkTimestampKey);
}

bool APMIsStoredDeepLinkOlderThan(platform::UserDefaults& defaults, double seconds) {
  auto stored = APMStoredDeepLinkTimestamp(defaults);
  return stored && std::fabs(platform::now() - *stored) > seconds;
}

bool expireStoredDeepLink(platform::UserDefaults& defaults, double attributionCacheTTL) {
  if (!APMIsStoredDeepLinkOlderThan(defaults, attributionCacheTTL)) return false;
  removeStoredDeepLink(defaults);
  return true;
}

int64_t previousHourStartMillis(int64_t milliseconds) {
  return milliseconds / kMillisecondsPerHour * kMillisecondsPerHour - kMillisecondsPerHour;
}
