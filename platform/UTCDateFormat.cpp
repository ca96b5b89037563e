#include "platform/UTCDateFormat.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

using std::chrono::day;
using std::chrono::days;
using std::chrono::month;
using std::chrono::sys_days;
using std::chrono::year;
using std::chrono::year_month_day;

constexpr int64_t kSecondsPerDay = 86400;
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr int64_t kFirstSecond = -62135596800;
constexpr int64_t kLastSecond = 253402300799;

int64_t floorDiv(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

// Reads exactly `count` ASCII digits at *position and moves past them.
std::optional<int> digits(std::string_view text, size_t* position, size_t count) {
  if (*position + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = text[*position + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  *position += count;
  return value;
}

bool literal(std::string_view text, size_t* position, char expected) {
  if (*position >= text.size() || text[*position] != expected) return false;
  ++*position;
  return true;
}

// Seconds east of UTC for "Z", "+HH", "+HHMM" or "+HH:MM"; nothing may follow.
std::optional<int64_t> zoneOffset(std::string_view zone) {
  if (zone == "Z") return 0;
  if (zone.empty() || (zone[0] != '+' && zone[0] != '-')) return std::nullopt;
  size_t position = 1;
  auto hours = digits(zone, &position, 2);
  if (!hours || *hours > 23) return std::nullopt;
  int minutes = 0;
  if (position < zone.size()) {
    literal(zone, &position, ':');  // the separator is optional
    auto read = digits(zone, &position, 2);
    if (!read || *read > 59) return std::nullopt;
    minutes = *read;
  }
  if (position != zone.size()) return std::nullopt;
  int64_t seconds = *hours * 3600 + minutes * 60;
  return zone[0] == '-' ? -seconds : seconds;
}

}  // namespace

std::optional<std::string> formatUTCDate(Date date) {
  if (!std::isfinite(date.seconds)) return std::nullopt;
  double whole = std::floor(date.seconds);
  if (whole < static_cast<double>(kFirstSecond) || whole > static_cast<double>(kLastSecond)) return std::nullopt;
  auto seconds = static_cast<int64_t>(whole);
  int64_t dayNumber = floorDiv(seconds, kSecondsPerDay);
  int64_t secondOfDay = seconds - dayNumber * kSecondsPerDay;
  year_month_day ymd{sys_days{days{dayNumber}}};
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return std::string(buffer);
}

std::optional<Date> parseUTCDate(std::string_view text) {
  size_t position = 0;
  auto y = digits(text, &position, 4);
  if (!y || !literal(text, &position, '-')) return std::nullopt;
  auto m = digits(text, &position, 2);
  if (!m || !literal(text, &position, '-')) return std::nullopt;
  auto d = digits(text, &position, 2);
  if (!d || !literal(text, &position, 'T')) return std::nullopt;
  auto hour = digits(text, &position, 2);
  if (!hour || !literal(text, &position, ':')) return std::nullopt;
  auto minute = digits(text, &position, 2);
  if (!minute || !literal(text, &position, ':')) return std::nullopt;
  auto second = digits(text, &position, 2);
  if (!second) return std::nullopt;
  auto offset = zoneOffset(text.substr(position));
  if (!offset || *y == 0 || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

  year_month_day ymd{year{*y}, month{static_cast<unsigned>(*m)}, day{static_cast<unsigned>(*d)}};
  if (!ymd.ok()) return std::nullopt;
  int64_t dayNumber = sys_days{ymd}.time_since_epoch().count();
  int64_t local = dayNumber * kSecondsPerDay + *hour * 3600 + *minute * 60 + *second;
  return Date{static_cast<double>(local - *offset)};
}

}  // namespace platform
