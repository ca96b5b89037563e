#pragma once
// What a session is reported as: the names of its events, parameters and user properties, the
// notification the engagement timer posts, and the session start event the engine writes for a
// session it starts itself.
#include <cstdint>
#include <memory>

#include "APMEvent.h"
#include "platform/Object.h"

struct APMSessionEvents {
  static constexpr const char* kEngagementTimerDidFireNotification = "kAPMSessionReporterEngagementTimerDidFire";
  static constexpr const char* kOriginAuto = "auto";
  static constexpr const char* kSessionStartEventName = "_s";
  static constexpr const char* kEngagementEventName = "_e";
  static constexpr const char* kSessionIDName = "_sid";
  static constexpr const char* kSessionNumberName = "_sno";
  static constexpr const char* kEngagementTimeName = "_et";
  static constexpr const char* kFreerideName = "_fr";
  static constexpr const char* kAppInBackgroundName = "_aib";
};

// The "_s" event the engine writes for a session it starts itself: "_sid" = timestamp in whole
// seconds, "_sno" = sessionNumber, and "_aib" = 1 in the background, else the screen parameters.
// Origin "auto", not public, previous timestamp 0.
std::shared_ptr<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp,
                                               const platform::Dictionary& screenParameters);
