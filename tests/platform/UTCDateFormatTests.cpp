#include "platform/UTCDateFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace {

using platform::Date;

TEST(UTCDateFormatTests, DatesAreWrittenAtTheSecondInUTCAndReadBack) {
  const std::pair<double, const char*> cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {1700000000.999, "2023-11-14T22:13:20Z"},
      {-0.5, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {-62135596800, "0001-01-01T00:00:00Z"},
      {253402300799.9, "9999-12-31T23:59:59Z"},
  };
  for (const auto& [seconds, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(platform::formatUTCDate(Date{seconds}), text);
    EXPECT_EQ(platform::parseUTCDate(text), Date{std::floor(seconds)});
  }
  for (double seconds : {-62135596801.0, 253402300800.0, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(platform::formatUTCDate(Date{seconds}), std::nullopt) << seconds;
  }
}

TEST(UTCDateFormatTests, OffsetsAreTakenOffToGiveUTC) {
  const std::pair<const char*, double> cases[] = {
      {"2023-11-14T23:13:20+01:00", 1700000000}, {"2023-11-14T17:43:20-0430", 1700000000},
      {"2023-11-15T00:13:20+02", 1700000000},    {"2023-11-14T22:13:20-00:00", 1700000000},
      {"2023-11-15T22:12:20+23:59", 1700000000}, {"1970-01-01T00:00:00+00:01", -60},
  };
  for (const auto& [text, seconds] : cases) EXPECT_EQ(platform::parseUTCDate(text), Date{seconds}) << text;
}

TEST(UTCDateFormatTests, TextsOutsideTheFormatAreRefused) {
  const char* cases[] = {
      "",
      "2023-11-14T22:13:20",
      "2023-11-14 22:13:20Z",
      "2023-11-14T22:13:20.5Z",
      "2023-02-29T00:00:00Z",
      "2023-13-01T00:00:00Z",
      "2023-00-10T00:00:00Z",
      "2023-11-14T24:00:00Z",
      "2023-11-14T22:60:00Z",
      "2023-11-14T22:13:60Z",
      "2023-11-14T22:13:20+24:00",
      "2023-11-14T22:13:20+01:60",
      "2023-11-14T22:13:20+1",
      "2023-11-14T22:13:20+01:",
      "2023-11-14T22:13:20+01:00:00",
      "2023-11-14T22:13:20Zx",
      "2023-11-14T22:13:20z",
      "23-11-14T22:13:20Z",
      "0000-01-01T00:00:00Z",
      " 2023-11-14T22:13:20Z",
      "2023-11-1\xD9\xA1T22:13:20Z",
  };
  for (const char* text : cases) EXPECT_EQ(platform::parseUTCDate(text), std::nullopt) << text;
}

}  // namespace
