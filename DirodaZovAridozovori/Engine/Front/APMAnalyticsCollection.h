#pragma once
// The front's collection switch: whether events are collected now, and whether collection was
// deactivated for the whole process at start (then it can be switched off, never on). Set by the
// host, the start options, a persisted setting, or the set-enabled notifications of one
// configuration; read on any queue (atomics).
#include "platform/NotificationCenter.h"

class APMAnalyticsCollection {
 public:
  static constexpr const char* kSetEnabledNotification = "DUDUravodazoConfigurationSetEnabledNotification";

  static void setAnalyticsEnabled(bool enabled);
  // persistSetting: the choice also holds for the next start.
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static bool isAnalyticsCollectionEnabled();
  static bool isAnalyticsCollectionDeactivated();
  // configuration: the sender whose set-enabled notifications to follow (nullptr: none).
  static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
  static void handleSetEnabled(const platform::Notification& notification);

  // The start: the switch as the engine found it, and the start options' deactivation.
  static void setCollectionEnabledAtStart(bool enabled);
  static void setCollectionDeactivatedAtStart(bool deactivated);
  // Off, not deactivated, following no configuration.
  static void resetForTesting();

 private:
  APMAnalyticsCollection() = delete;
};
