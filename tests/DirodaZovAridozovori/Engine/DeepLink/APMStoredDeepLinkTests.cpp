// The launching link kept in the application's defaults, its age, and the hour arithmetic of its
// report.
#include <gtest/gtest.h>

#include "DeepLink/APMStoredDeepLink.h"
#include "TestSupport.h"
#include "platform/UserDefaults.h"

namespace {

constexpr double kNow = 1699956000.0;
constexpr const char* kLinkKey = "/diroda/measurement/deep_link";
constexpr const char* kTimeKey = "/diroda/measurement/deep_link_timestamp_seconds";

class StoredDeepLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::UserDefaults::resetForTesting(); }
  void TearDown() override { platform::UserDefaults::resetForTesting(); }
  platform::UserDefaults& defaults() { return *platform::UserDefaults::standard(); }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kNow};
};

TEST_F(StoredDeepLinkTest, StoringKeepsTheLinkAndTheTimeUnderTheirKeys) {
  APMStoreDeepLink(defaults(), "https://example.com/?utm_source=a");
  EXPECT_EQ(defaults().string(kLinkKey), std::optional<std::string>("https://example.com/?utm_source=a"));
  EXPECT_DOUBLE_EQ(defaults().doubleValue(kTimeKey), kNow);
  EXPECT_TRUE(APMHasStoredDeepLink(defaults()));

  APMRemoveStoredDeepLink(defaults());
  EXPECT_TRUE(defaults().object(kLinkKey).isNull());
  EXPECT_TRUE(defaults().object(kTimeKey).isNull());
  EXPECT_FALSE(APMHasStoredDeepLink(defaults()));

  // A link without its time, or a time that is no number, is not a stored link.
  defaults().setObject(kLinkKey, platform::Object("https://example.com/"));
  EXPECT_FALSE(APMHasStoredDeepLink(defaults()));
  defaults().setObject(kTimeKey, platform::Object("yesterday"));
  EXPECT_FALSE(APMHasStoredDeepLink(defaults()));
}

TEST_F(StoredDeepLinkTest, ExpiryCountsTheAgeInEitherDirection) {
  struct Case {
    const char* what;
    double storedOffset;  // seconds from now
    bool expired;
  };
  const Case cases[] = {
      {"just stored", 0, false},
      {"exactly the time to live ago", -1000, false},
      {"past the time to live", -1001, true},
      {"stored in the future within the time to live", 1000, false},
      {"stored in the future beyond it (a clock set back)", 1001, true},
  };
  for (const auto& c : cases) {
    APMStoreDeepLink(defaults(), "https://example.com/?utm_source=a");
    defaults().setDouble(kTimeKey, kNow + c.storedOffset);
    EXPECT_EQ(APMIsStoredDeepLinkOlderThan(defaults(), 1000), c.expired) << c.what;
    EXPECT_EQ(APMExpireStoredDeepLink(defaults(), 1000), c.expired) << c.what;
    EXPECT_EQ(APMHasStoredDeepLink(defaults()), !c.expired) << c.what;
    APMRemoveStoredDeepLink(defaults());
  }
  EXPECT_FALSE(APMIsStoredDeepLinkOlderThan(defaults(), 1000)) << "nothing stored";
  EXPECT_FALSE(APMExpireStoredDeepLink(defaults(), 1000));
}

TEST(PreviousHourStartMillisTest, GivesTheStartOfTheHourBefore) {
  struct Case {
    int64_t milliseconds, expected;
  };
  const Case cases[] = {
      {1699956000000LL, 1699952400000LL},  // on the hour: the whole hour before
      {1699956000123LL, 1699952400000LL},
      {1699959599999LL, 1699952400000LL},
      {3599999LL, -3600000LL},
      {0, -3600000LL},
      {-1, -3600000LL},  // truncated toward zero
  };
  for (const auto& c : cases) EXPECT_EQ(APMPreviousHourStartMillis(c.milliseconds), c.expected) << c.milliseconds;
}

}  // namespace
