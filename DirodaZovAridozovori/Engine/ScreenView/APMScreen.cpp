#include "APMScreen.h"

#include "APMDataTypeValidator.h"
#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/ScreenView/APMScreenViewLog.h"

namespace {

bool isValidScreenValue(const std::string& value, int* failureCode = nullptr) {
  int ignored = 0;
  return APMDataTypeValidator::isValidScreenParameterValue(platform::Object(value), failureCode ? failureCode : &ignored);
}

// "_si", then "_sc" and "_sn" when non-empty.
platform::Dictionary currentParametersOf(const std::optional<std::string>& name,
                                         const std::optional<std::string>& className, int64_t instanceID) {
  platform::Dictionary parameters{{APMScreen::kScreenInstanceIDParameter, instanceID}};
  if (className && !className->empty()) parameters[APMScreen::kScreenClassParameter] = *className;
  if (name && !name->empty()) parameters[APMScreen::kScreenNameParameter] = *name;
  return parameters;
}

}  // namespace

APMScreen::APMScreen(std::optional<std::string> name, std::optional<std::string> className, int64_t instanceID)
    : name_(std::move(name)),
      className_(std::move(className)),
      instanceID_(instanceID),
      currentParametersObject_(
          std::make_shared<const platform::Object>(currentParametersOf(name_, className_, instanceID_))),
      currentParameters_(currentParametersObject_, &currentParametersObject_->dictionaryValue()) {}

void APMSetScreenParameters(platform::Dictionary& parameters, const APMScreen& screen) {
  parameters.insert_or_assign(APMScreen::kScreenInstanceIDParameter, screen.instanceID());
  const auto& className = screen.className();
  if (!className || className->empty())
    APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameEmpty, "Screen class name is empty");
  if (className) {
    int failure = 0;
    if (!isValidScreenValue(*className, &failure)) {
      APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameInvalid,
             "Screen class name is invalid. Error code", failure);
      return;
    }
    parameters.insert_or_assign(APMScreen::kScreenClassParameter, *className);
  }
  if (screen.name() && isValidScreenValue(*screen.name())) {
    parameters.insert_or_assign(APMScreen::kScreenNameParameter, *screen.name());
  }
}

void APMSetPreviousScreenParameters(platform::Dictionary& parameters, const APMScreen& screen) {
  parameters.insert_or_assign(APMScreen::kPreviousScreenInstanceIDParameter, screen.instanceID());
  const auto& className = screen.className();
  if (className && isValidScreenValue(*className)) {
    parameters.insert_or_assign(APMScreen::kPreviousScreenClassParameter, *className);
  }
  if (screen.name() && isValidScreenValue(*screen.name())) {
    parameters.insert_or_assign(APMScreen::kPreviousScreenNameParameter, *screen.name());
  }
}

platform::Dictionary APMCurrentScreenParameters(const APMScreen& screen) { return *screen.currentParameters(); }
