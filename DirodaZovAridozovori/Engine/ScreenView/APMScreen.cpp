#include "APMScreen.h"

#include <array>

#include "APMCompactParameters.h"
#include "APMDataTypeValidator.h"
#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/ScreenView/APMScreenViewEvents.h"
#include "DirodaZovAridozovori/Engine/ScreenView/APMScreenViewLog.h"

namespace {

bool isValidScreenValue(const std::string& value, int* failureCode = nullptr) {
  int ignored = 0;
  return APMDataTypeValidator::isValidScreenParameterText(value, failureCode ? failureCode : &ignored);
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

APMReportedScreenValues APMShownScreenValues(const APMScreen& screen) {
  const auto& className = screen.className();
  if (!className || className->empty())
    APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameEmpty, "Screen class name is empty");
  APMReportedScreenValues reported;
  if (className) {
    int failure = 0;
    if (!isValidScreenValue(*className, &failure)) {
      APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenClassNameInvalid,
             "Screen class name is invalid. Error code", failure);
      return reported;
    }
    reported.className = true;
  }
  reported.name = screen.name() && isValidScreenValue(*screen.name());
  return reported;
}

APMReportedScreenValues APMLeftScreenValues(const APMScreen& screen) {
  return {.className = screen.className() && isValidScreenValue(*screen.className()),
          .name = screen.name() && isValidScreenValue(*screen.name())};
}

namespace {

// One of the entries a screen view sets itself, an integer or a text.
struct SetEntry {
  std::string_view name;
  bool isText = false;
  int64_t integer = 0;
  std::string_view text;
};

void putSetEntry(std::string& out, const SetEntry& entry) {
  if (entry.isText) return apm_compact::putTextEntry(out, entry.name, entry.text);
  apm_compact::putIntegerEntry(out, entry.name, entry.integer);
}

}  // namespace

void APMPutScreenViewParameters(std::string& out, const APMScreen* left, const APMScreen& shown,
                                const platform::Dictionary* given, std::optional<int64_t> engagement) {
  // At most eight, added in name order: "_et" < "_mst" < "_pc" < "_pi" < "_pn" < "_sc" < "_si" < "_sn".
  std::array<SetEntry, 8> set;
  size_t count = 0;
  auto integer = [&](const char* name, int64_t value) { set[count++] = {.name = name, .integer = value}; };
  auto text = [&](const char* name, const std::string& value) {
    set[count++] = {.name = name, .isText = true, .text = value};
  };
  const APMReportedScreenValues shownValues = APMShownScreenValues(shown);
  if (engagement) integer(APMScreenViewEvents::kEngagementTimeParameter, *engagement);
  integer(APMScreenViewEvents::kManualScreenTrackingParameter, 1);
  if (left) {
    const APMReportedScreenValues leftValues = APMLeftScreenValues(*left);
    if (leftValues.className) text(APMScreen::kPreviousScreenClassParameter, *left->className());
    integer(APMScreen::kPreviousScreenInstanceIDParameter, left->instanceID());
    if (leftValues.name) text(APMScreen::kPreviousScreenNameParameter, *left->name());
  }
  if (shownValues.className) text(APMScreen::kScreenClassParameter, *shown.className());
  integer(APMScreen::kScreenInstanceIDParameter, shown.instanceID());
  if (shownValues.name) text(APMScreen::kScreenNameParameter, *shown.name());

  // The given parameters merged in name order, each left out where a set entry took its name; run
  // once to count the entries, whose number comes first, and once to write them.
  static const auto& kNoneGiven = *new platform::Dictionary();  // never destroyed: read until the process ends
  const platform::Dictionary& others = given ? *given : kNoneGiven;
  auto merge = [&](auto&& putGiven, auto&& putSet) {
    auto next = others.begin();
    const auto end = others.end();
    for (size_t i = 0; i < count; ++i) {
      for (; next != end && std::string_view(next->first) < set[i].name; ++next) putGiven(*next);
      if (next != end && next->first == set[i].name) ++next;
      putSet(set[i]);
    }
    for (; next != end; ++next) putGiven(*next);
  };
  uint64_t entries = 0;
  merge([&](const auto&) { ++entries; }, [&](const SetEntry&) { ++entries; });
  apm_compact::putSize(out, entries);
  merge([&](const auto& entry) { apm_compact::putObjectEntry(out, entry.first, entry.second); },
        [&](const SetEntry& entry) { putSetEntry(out, entry); });
}

platform::Dictionary APMCurrentScreenParameters(const APMScreen& screen) { return *screen.currentParameters(); }
