#include "LoggedAnalyticsModifier.h"

#include "DUDUravodazo.h"

namespace {
constexpr const char* kScreenViewEventName = "screen_view";
constexpr const char* kScreenNameKey = "screen_name";
constexpr const char* kScreenClassKey = "screen_class";
}  // namespace

platform::Dictionary LoggedAnalyticsModifier::screenViewParameters() const {
  platform::Dictionary parameters = extraParameters;
  parameters[kScreenNameKey] = screenName;
  parameters[kScreenClassKey] = screenClass;
  return parameters;
}

void LoggedAnalyticsModifier::onAppear() const {
  DUDUravodazo::logEventWithName(kScreenViewEventName, screenViewParameters());
}

LoggedAnalyticsModifier loggedAnalyticsScreen(const std::string& screenName, const std::string& screenClass,
                                              const platform::Dictionary& extraParameters) {
  return {screenName, screenClass, extraParameters};
}
