#pragma once
// Dates written as "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in the POSIX locale with the UTC time zone, the form
// store receipts and transactions carry: "2024-02-29T13:05:09Z". Only whole seconds are written,
// so a date formatted and read back is that date cut to its second.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Object.h"

namespace platform {

// The date at its second (a fraction is dropped towards the past) with "Z" for its zone. None for
// a date that is not a finite number or lies outside the years 1 to 9999.
std::optional<std::string> formatUTCDate(Date date);

// Reads that form with "Z" or a numeric offset from UTC ("+01:00", "-0530", "+01"), which is taken
// off to give the UTC time. Digits are ASCII and fixed in number; a field out of range, a day the
// month does not have, a fraction of a second or any text left over make it unreadable (none).
std::optional<Date> parseUTCDate(std::string_view text);

}  // namespace platform
