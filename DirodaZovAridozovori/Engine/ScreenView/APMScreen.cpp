#include "APMScreen.h"

#include "APMDataTypeValidator.h"
#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/ScreenView/APMScreenViewLog.h"

namespace {

bool isValidScreenValue(const std::string& value, int* failureCode = nullptr) {
  int ignored = 0;
  return APMDataTypeValidator::isValidScreenParameterValue(platform::Object(value), failureCode ? failureCode : &ignored);
}

}  // namespace

platform::Dictionary APMScreenParameters(const APMScreen& screen) {
  platform::Dictionary parameters{{APMScreen::kScreenInstanceIDParameter, screen.instanceID()}};
  const auto& className = screen.className();
  if (!className || className->empty())
    APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameEmpty, "Screen class name is empty");
  if (className) {
    int failure = 0;
    if (!isValidScreenValue(*className, &failure)) {
      APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameInvalid,
             "Screen class name is invalid. Error code", failure);
      return parameters;
    }
    parameters[APMScreen::kScreenClassParameter] = *className;
  }
  if (screen.name() && isValidScreenValue(*screen.name())) parameters[APMScreen::kScreenNameParameter] = *screen.name();
  return parameters;
}

platform::Dictionary APMPreviousScreenParameters(const APMScreen& screen) {
  platform::Dictionary parameters{{APMScreen::kPreviousScreenInstanceIDParameter, screen.instanceID()}};
  const auto& className = screen.className();
  if (className && isValidScreenValue(*className)) parameters[APMScreen::kPreviousScreenClassParameter] = *className;
  if (screen.name() && isValidScreenValue(*screen.name())) {
    parameters[APMScreen::kPreviousScreenNameParameter] = *screen.name();
  }
  return parameters;
}

platform::Dictionary APMCurrentScreenParameters(const APMScreen& screen) {
  platform::Dictionary parameters{{APMScreen::kScreenInstanceIDParameter, screen.instanceID()}};
  if (screen.className() && !screen.className()->empty()) {
    parameters[APMScreen::kScreenClassParameter] = *screen.className();
  }
  if (screen.name() && !screen.name()->empty()) parameters[APMScreen::kScreenNameParameter] = *screen.name();
  return parameters;
}
