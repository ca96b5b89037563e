#pragma once
// Names of the application-state notifications the host posts on the default notification center
// (NotificationCenter::defaultCenter()) from its main thread: once when it has finished launching,
// and each time it becomes active or is about to resign active.

namespace platform {

inline constexpr const char* kApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "NSApplicationWillResignActiveNotification";

}  // namespace platform
