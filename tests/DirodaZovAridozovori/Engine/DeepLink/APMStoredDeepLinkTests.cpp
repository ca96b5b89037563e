// The launching link kept in the application's defaults, its age, and the hour of its report.
#include <gtest/gtest.h>

#include "DeepLink/APMStoredDeepLink.h"
#include "TestSupport.h"

namespace {

constexpr double kNow = 1699956000.0;
constexpr const char* kTimeKey = "/diroda/measurement/deep_link_timestamp_seconds";

TEST(StoredDeepLinkTest, ALinkExpiresOnceItsTimeLiesBeyondTheTimeToLiveEitherWay) {
  testsupport::ScopedDataDirectory directory;
  testsupport::ScopedFakeClock clock(kNow);
  platform::UserDefaults::resetForTesting();
  auto& defaults = *platform::UserDefaults::standard();
  const struct {
    double storedOffset;  // seconds from now
    bool expired;
  } cases[] = {{0, false}, {-1000, false}, {-1001, true}, {1000, false}, {1001, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.storedOffset);
    storeDeepLink(defaults, "https://example.com/?utm_source=a");
    EXPECT_EQ(defaults.string("/diroda/measurement/deep_link"), "https://example.com/?utm_source=a");
    defaults.setDouble(kTimeKey, kNow + c.storedOffset);
    EXPECT_EQ(expireStoredDeepLink(defaults, 1000), c.expired);
    EXPECT_EQ(hasStoredDeepLink(defaults), !c.expired);
    removeStoredDeepLink(defaults);
  }
  // Without its time a link is not a stored link, and nothing expires.
  defaults.setObject("/diroda/measurement/deep_link", platform::Object("https://example.com/"));
  EXPECT_FALSE(hasStoredDeepLink(defaults));
  EXPECT_FALSE(expireStoredDeepLink(defaults, 1000));
  platform::UserDefaults::resetForTesting();
}

TEST(StoredDeepLinkTest, PreviousHourStartMillisGivesTheStartOfTheHourBefore) {
  const struct {
    int64_t milliseconds, expected;
  } cases[] = {{1699956000000LL, 1699952400000LL}, {1699959599999LL, 1699952400000LL}, {0, -3600000LL},
               {-1, -3600000LL}};
  for (const auto& c : cases) EXPECT_EQ(previousHourStartMillis(c.milliseconds), c.expected) << c.milliseconds;
}

}  // namespace
