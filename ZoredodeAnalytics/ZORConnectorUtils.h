#pragma once
// The fixed allow and block lists that keep other SDK components away from the measurement SDK's
// own events, parameters and user properties, and the rules built on them.
#include <set>
#include <string>
#include <vector>

#include "platform/Object.h"

class ZORConnectorUtils {
 public:
  static const std::set<std::string>& allowedListenerOrigins();
  static const std::set<std::string>& blocklistedOrigins();
  static const std::set<std::string>& blocklistedEventNames();
  static const std::set<std::string>& blocklistedParameters();
  static const std::set<std::string>& blocklistedUserProperties();
  // Regular expressions, searched anywhere in a name.
  static const std::vector<std::string>& blocklistedUserPropertyPatterns();
  static const std::set<std::string>& hiddenEventNames();

  static bool isOriginAllowed(const std::string& origin);
  // "app", or "app+" followed by anything.
  static bool isAppOrigin(const std::string& origin);
  static bool isListenerOriginAllowed(const std::string& origin);
  static bool isEventNameAllowedForListeners(const std::string& name);
  // Events other components may hear without being their origin: "_vs" for "clx".
  static bool isEventName(const std::string& name, const std::string& allowedForListenerOrigin);
  static bool shouldLogEventWithName(const std::string& name, const platform::Dictionary& parameters);
  static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
  static bool isUserPropertyAllowedForQuery(const std::string& name);
};
