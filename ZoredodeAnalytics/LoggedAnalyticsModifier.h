#pragma once
// Logs a "screen_view" each time a view of the host's interface appears. The host builds one
// modifier per view (loggedAnalyticsScreen) and calls onAppear from its toolkit's appearance
// callback; the front hands the event to the screen-view reporter like any "screen_view".

#include <string>

#include "platform/Object.h"

struct LoggedAnalyticsModifier {
  std::string screenName;
  std::string screenClass;
  platform::Dictionary extraParameters;

  // The extra parameters with "screen_name" and "screen_class" set from the modifier (replacing
  // entries of the same keys).
  platform::Dictionary screenViewParameters() const;
  // The view appeared: logs one "screen_view".
  void onAppear() const;
};

LoggedAnalyticsModifier loggedAnalyticsScreen(const std::string& screenName, const std::string& screenClass,
                                              const platform::Dictionary& extraParameters = {});
