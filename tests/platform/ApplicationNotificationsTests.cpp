#include "platform/ApplicationNotifications.h"

#include <gtest/gtest.h>

namespace {

using platform::Dictionary;
using platform::LaunchOptions;
using platform::Object;
using platform::UserActivity;

// The keys a launching application's user info carries.
TEST(LaunchOptionsTest, UserInfoRoundTripsAndValuesOfTheWrongTypeReadAsAbsent) {
  const LaunchOptions both{"https://example.test/p?utm_source=a", UserActivity{"NSUserActivityTypeBrowsingWeb",
                                                                                "https://example.test/w"}};
  const Dictionary info = both.userInfo();
  EXPECT_EQ(info.at("UIApplicationLaunchOptionsURLKey").stringValue(), "https://example.test/p?utm_source=a");
  const Dictionary& holder = info.at("UIApplicationLaunchOptionsUserActivityDictionaryKey").dictionaryValue();
  const Dictionary& activity = holder.at("UIApplicationLaunchOptionsUserActivityKey").dictionaryValue();
  EXPECT_EQ(activity.at("activityType").stringValue(), "NSUserActivityTypeBrowsingWeb");
  EXPECT_EQ(activity.at("webpageURL").stringValue(), "https://example.test/w");

  const Dictionary activityWithoutPage{{"activityType", Object("custom")}};
  const struct {
    const char* name;
    Dictionary userInfo;
    LaunchOptions expected;
  } cases[] = {
      {"both", info, both},
      {"nothing", {}, {}},
      {"URL of another type", {{"UIApplicationLaunchOptionsURLKey", Object(1)}}, {}},
      {"activity not in a dictionary",
       {{"UIApplicationLaunchOptionsUserActivityDictionaryKey", Object("NSUserActivityTypeBrowsingWeb")}}, {}},
      {"activity without a type",
       {{"UIApplicationLaunchOptionsUserActivityDictionaryKey",
         Object(Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", Object(Dictionary{{"webpageURL", Object("x")}})}})}},
       {}},
      {"activity without a web page",
       {{"UIApplicationLaunchOptionsUserActivityDictionaryKey",
         Object(Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", Object(activityWithoutPage)}})}},
       {std::nullopt, UserActivity{"custom", ""}}},
  };
  for (const auto& c : cases) {
    const LaunchOptions read = LaunchOptions::fromUserInfo(c.userInfo);
    EXPECT_EQ(read, c.expected) << c.name;
    EXPECT_EQ(read.empty(), !c.expected.url && !c.expected.userActivity) << c.name;
  }
}

}  // namespace
