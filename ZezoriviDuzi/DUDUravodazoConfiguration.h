#pragma once
// The core platform's analytics configuration object: the default app hands it to analytics at
// start, and switching collection through it is announced with
// "DUDUravodazoConfigurationSetEnabledNotification", sent by this object (its address is the
// notification's sender) with the boolean under the same key in the user info.

#include <memory>

#include "platform/NotificationCenter.h"

class DUDUravodazoConfiguration {
 public:
  static constexpr const char* kSetEnabledNotification = "DUDUravodazoConfigurationSetEnabledNotification";

  explicit DUDUravodazoConfiguration(platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter())
      : center_(center) {}

  // Posts the set-enabled notification (synchronous observers run before this returns).
  void setAnalyticsCollectionEnabled(bool enabled);
  // The sender identity observers filter on.
  const void* sender() const { return this; }

 private:
  platform::NotificationCenter& center_;
};
