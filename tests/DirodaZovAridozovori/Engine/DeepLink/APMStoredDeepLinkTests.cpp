// The launching link kept in the application's defaults, its age, the hour of its report, and its
// expiry when collection stops.
#include <gtest/gtest.h>

#include "../FakeEngineContext.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "DeepLink/APMStoredDeepLink.h"
#include "TestSupport.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

constexpr double kNow = 1699956000.0;
constexpr const char* kTimeKey = "/diroda/measurement/deep_link_timestamp_seconds";

TEST(StoredDeepLinkTest, ALinkExpiresOnceItsTimeLiesBeyondTheTimeToLiveEitherWay) {
  testsupport::ScopedDataDirectory directory;
  testsupport::ScopedFakeClock clock(kNow);
  platform::UserDefaultsRegistry::resetForTesting();
  auto& defaults = *platform::UserDefaultsRegistry::standard();
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
  platform::UserDefaultsRegistry::resetForTesting();
}

TEST(StoredDeepLinkTest, PreviousHourStartMillisGivesTheStartOfTheHourBefore) {
  const struct {
    int64_t milliseconds, expected;
  } cases[] = {{1699956000000LL, 1699952400000LL}, {1699959599999LL, 1699952400000LL}, {0, -3600000LL},
               {-1, -3600000LL}};
  for (const auto& c : cases) EXPECT_EQ(previousHourStartMillis(c.milliseconds), c.expected) << c.milliseconds;
}

// The deep-link component over an engine without a configuration (the default one's attribution
// window of seven days): switching collection off drops a stored link older than the window.
TEST(StoredDeepLinkTest, SwitchingCollectionOffDropsALinkOlderThanTheAttributionWindow) {
  testsupport::ScopedDataDirectory directory;
  testsupport::ScopedFakeClock clock(kNow);
  platform::UserDefaultsRegistry::resetForTesting();
  auto& defaults = *platform::UserDefaultsRegistry::standard();
  APMDeepLinkComponent component;
  component.attachToEngine(std::make_shared<enginetest::FakeEngineContext>());
  const struct {
    double age;
    bool enabled;
    bool kept;
  } cases[] = {{604800, false, true}, {604801, false, false}, {604801, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.age);
    storeDeepLink(defaults, "https://example.com/?utm_source=a");
    defaults.setDouble(kTimeKey, kNow - c.age);
    component.collectionDidSwitch(c.enabled);
    EXPECT_EQ(hasStoredDeepLink(defaults), c.kept) << (c.enabled ? "switched on" : "switched off");
    removeStoredDeepLink(defaults);
  }
  platform::UserDefaultsRegistry::resetForTesting();
}

}  // namespace
