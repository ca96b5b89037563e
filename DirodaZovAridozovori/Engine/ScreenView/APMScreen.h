#pragma once
// One screen of the host application, as a logged "screen_view" named it, and the event parameters
// that describe it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"

class APMScreen {
 public:
  // Parameters of the current screen ("_sn", "_sc", "_si") and of the previous one ("_pn", "_pc", "_pi").
  static constexpr const char* kScreenNameParameter = "_sn";
  static constexpr const char* kScreenClassParameter = "_sc";
  static constexpr const char* kScreenInstanceIDParameter = "_si";
  static constexpr const char* kPreviousScreenNameParameter = "_pn";
  static constexpr const char* kPreviousScreenClassParameter = "_pc";
  static constexpr const char* kPreviousScreenInstanceIDParameter = "_pi";

  APMScreen(std::optional<std::string> name, std::optional<std::string> className, int64_t instanceID);

  // The same name, class and instance; flags cleared and no timestamp.
  std::shared_ptr<APMScreen> copy() const { return std::make_shared<APMScreen>(name_, className_, instanceID_); }

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  int64_t instanceID() const { return instanceID_; }
  // "_si", "_sc" and "_sn" as APMCurrentScreenParameters gives them. Made once: a screen is shown
  // to every event logged while it is current, and its name, class and instance never change.
  const std::shared_ptr<const platform::Dictionary>& currentParameters() const { return currentParameters_; }
  // The same parameters as a dictionary object: copies of it share them (a screen change hands the
  // screen on to whoever measures by screen), and currentParameters() points into it.
  const platform::Object& currentParametersObject() const { return *currentParametersObject_; }

  // Nothing on this platform sets a screen by hand; kept for the record's shape.
  bool isManuallySet = false;
  // Created from a "screen_view" the host logged.
  bool isManuallyTracked = false;
  // Seconds since 1970 at which the screen view was logged.
  double eventTimestamp = 0;

 private:
  const std::optional<std::string> name_;
  const std::optional<std::string> className_;
  const int64_t instanceID_;
  const std::shared_ptr<const platform::Object> currentParametersObject_;
  const std::shared_ptr<const platform::Dictionary> currentParameters_;  // owned through currentParametersObject_
};

// Which of a screen's class and name a screen view reports.
struct APMReportedScreenValues {
  bool className = false;
  bool name = false;
};
// Of the screen shown: "_sc" and "_sn" when they pass the screen-value check. An empty class is
// logged (31014); an invalid one is logged (31015) and reports neither.
APMReportedScreenValues APMShownScreenValues(const APMScreen& screen);
// Of the screen left: "_pc" and "_pn" when they are valid; invalid values are skipped silently.
APMReportedScreenValues APMLeftScreenValues(const APMScreen& screen);

// A screen view's parameters, written in the compact form (apm_compact) in name order, straight
// from the screens instead of through a dictionary: the screen left's "_pi" (and "_pc", "_pn"),
// the screen shown's "_si" (and "_sc", "_sn"), "_et" when an engagement is given, "_mst" = 1, and
// the given parameters whose names none of these took.
void APMPutScreenViewParameters(std::string& out, const APMScreen* left, const APMScreen& shown,
                                const platform::Dictionary* given, std::optional<int64_t> engagement);
// "_si", then "_sc" and "_sn" when non-empty, without checks or log lines (screens already checked).
platform::Dictionary APMCurrentScreenParameters(const APMScreen& screen);
