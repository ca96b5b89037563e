#include "APMAudienceComparisonValues.h"

#include "APMAudienceLog.h"
#include "Utilities/APMNumericUtil.h"

namespace {

// The decimal number of a comparison text; logs the unreadable case.
std::optional<APMDecimalNumber> readValue(const std::string& text, APMAudienceLogCode code, const char* message) {
  auto value = APMDecimalNumberFromString(text);
  if (!value) APMLog(APMLogLevel::kErrorSampled, code, message);
  return value;
}

// The exact decimal number of decimal text, or none.
std::optional<APMDecimalNumber> readExactly(const std::optional<std::string>& text) {
  if (!text || !APMIsDecimalString(*text)) return std::nullopt;
  bool exact = false;
  auto value = APMDecimalNumber::fromString(*text, &exact);
  if (!exact) return std::nullopt;
  return value;
}

}  // namespace

std::optional<APMAudienceComparisonValues> APMAudienceComparisonValues::readQuietly(const APMNumberFilterForm& filter) {
  APMAudienceComparisonValues values;
  const int32_t type = filter.comparisonType.value_or(kAPMComparisonUnknown);
  if (type == kAPMComparisonLessThan || type == kAPMComparisonGreaterThan || type == kAPMComparisonEqual) {
    values.comparisonValue_ = readExactly(filter.comparisonValue);
    if (!values.comparisonValue_) return std::nullopt;
  } else if (type == kAPMComparisonBetween) {
    values.minComparisonValue_ = readExactly(filter.minComparisonValue);
    values.maxComparisonValue_ = readExactly(filter.maxComparisonValue);
    if (!values.minComparisonValue_ || !values.maxComparisonValue_) return std::nullopt;
  } else {
    return std::nullopt;
  }
  values.setValid(true);
  return values;
}

APMAudienceComparisonValues APMAudienceComparisonValues::fromNumberFilter(const APMNumberFilterForm& filter) {
  APMAudienceComparisonValues values;
  const int32_t type = filter.comparisonType.value_or(kAPMComparisonUnknown);
  if (type == kAPMComparisonLessThan || type == kAPMComparisonGreaterThan || type == kAPMComparisonEqual) {
    if (!filter.comparisonValue) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoComparisonValue,
             "Number filter has no comparison value");
      return values;
    }
    values.comparisonValue_ = readValue(*filter.comparisonValue, APMAudienceLogCode::kComparisonValueNotNumber,
                                        "Number filter comparison value is not a number");
    values.setValid(values.comparisonValue_.has_value());
    return values;
  }
  if (type == kAPMComparisonBetween) {
    if (!filter.minComparisonValue || !filter.maxComparisonValue) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoMinAndMaxValues,
             "Number filter does not have both min and max comparison values");
      return values;
    }
    values.minComparisonValue_ = readValue(*filter.minComparisonValue, APMAudienceLogCode::kMinComparisonValueNotNumber,
                                           "Number filter min comparison value is not a number");
    values.maxComparisonValue_ = readValue(*filter.maxComparisonValue, APMAudienceLogCode::kMaxComparisonValueNotNumber,
                                           "Number filter max comparison value is not a number");
    values.setValid(values.minComparisonValue_ && values.maxComparisonValue_);
    return values;
  }
  APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownComparisonType,
         "Number filter has unknown comparison type");
  return values;
}
