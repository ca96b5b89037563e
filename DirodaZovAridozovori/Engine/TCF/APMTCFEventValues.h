#pragma once
// What the "_tcf" event reports of a reading: the compact "_tcfd" value, the purposes' reasons in
// "_tcfd2" and the one-time migration in "_tcfm".

#include <cstdint>
#include <string>

#include "APMTCFData.h"

struct APMTCFEventValues {
  static constexpr const char* kEventName = "_tcf";
  static constexpr const char* kEventOrigin = "auto";
  static constexpr const char* kBundleParameterName = "_tcfd";
  static constexpr const char* kReasonsParameterName = "_tcfd2";
  static constexpr const char* kMigrationParameterName = "_tcfm";
  // The characters of the compact "_tcfd" value: index 0 is "0", 63 is "_".
  static constexpr const char* kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

  static std::string tcfBundleParameterValue(const APMTCFData& data, bool isDMARegion);
  static std::string tcfd2ParamValue(const APMTCFData& data);
  static int64_t tcfd2ParamValueForPurposeID(const APMTCFData& data, int64_t purposeID);
  static std::string tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                  bool didMigrationChangeConsent);
};
