#pragma once
// What ad exposure is reported as: one event per ad unit (with its ID) and one for any ad at all,
// each with the exposure in milliseconds, under the advertising origin.
struct APMAdExposureEvents {
  static constexpr const char* kOrigin = "am";
  static constexpr const char* kAdUnitExposureEventName = "_xu";
  static constexpr const char* kAdExposureEventName = "_xa";
  static constexpr const char* kAdUnitIDParameter = "_ai";
  static constexpr const char* kExposureTimeParameter = "_xt";
};
