#pragma once
// The link that launched the application, kept in the application's defaults until the engine has
// started and can report it (or until it has outlived the attribution window).
//
// Layout: "/diroda/measurement/deep_link" holds the link's absolute text,
// "/diroda/measurement/deep_link_timestamp_seconds" the time it was stored (seconds since 1970).
// The two are written and removed together.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/UserDefaults.h"

inline constexpr const char* kAPMStoredDeepLinkKey = "/diroda/measurement/deep_link";
inline constexpr const char* kAPMStoredDeepLinkTimestampKey = "/diroda/measurement/deep_link_timestamp_seconds";

// Stores link with the current time.
void storeDeepLink(platform::UserDefaults& defaults, const std::string& link);
// A link and its time are both stored.
bool hasStoredDeepLink(platform::UserDefaults& defaults);
// The stored link when it is a non-empty string.
std::optional<std::string> APMStoredDeepLink(platform::UserDefaults& defaults);
// The stored time when it is a number.
std::optional<double> APMStoredDeepLinkTimestamp(platform::UserDefaults& defaults);
void removeStoredDeepLink(platform::UserDefaults& defaults);
// The stored time lies more than seconds away from now, in either direction (a clock set back
// must not keep a link alive); false without a stored time.
bool APMIsStoredDeepLinkOlderThan(platform::UserDefaults& defaults, double seconds);
// Removes the stored link once it is older than the attribution cache time; true when it did.
bool expireStoredDeepLink(platform::UserDefaults& defaults, double attributionCacheTTL);
// The start of the hour before the one that holds milliseconds (integer division truncating).
int64_t previousHourStartMillis(int64_t milliseconds);
