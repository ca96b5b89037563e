#pragma once
// Names of the application-state notifications the host posts on the default notification center
// (NotificationCenter::defaultCenter()) from its main thread: once when it has finished launching,
// and each time it becomes active or is about to resign active.
//
// The did-finish-launching notification may carry what launched the application in its user info:
// a URL, or a user activity (a web page being browsed). LaunchOptions is that user info as plain
// values; the host builds the user info with userInfo(), the SDK reads it with fromUserInfo().

#include <optional>
#include <string>

#include "platform/Object.h"

namespace platform {

inline constexpr const char* kApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "NSApplicationWillResignActiveNotification";

// User-info keys of the launch notification: the URL's absolute text (a string), and a dictionary
// holding the user activity (itself a dictionary of the activity keys below).
inline constexpr const char* kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* kApplicationLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr const char* kUserActivityTypeKey = "activityType";
inline constexpr const char* kUserActivityWebpageURLKey = "webpageURL";
// The activity type of browsing a web page.
inline constexpr const char* kUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

struct UserActivity {
  std::string activityType;
  std::string webpageURL;  // absolute text; empty when the activity has none

  bool operator==(const UserActivity&) const = default;
};

struct LaunchOptions {
  std::optional<std::string> url;
  std::optional<UserActivity> userActivity;

  bool empty() const { return !url && !userActivity; }
  Dictionary userInfo() const;
  // Values of another type than the keys call for read as absent.
  static LaunchOptions fromUserInfo(const Dictionary& userInfo);

  bool operator==(const LaunchOptions&) const = default;
};

}  // namespace platform
