#pragma once
// The comparison values of one number filter read as exact decimal numbers, for comparing
// integers and numeric text without the rounding of doubles.

#include <optional>

#include "Utilities/APMDecimalNumber.h"
#include "APMFilterForms.h"

class APMAudienceComparisonValues {
 public:
  // Reads the values the filter's comparison type needs; each missing or unreadable one is logged
  // and leaves the values invalid.
  static APMAudienceComparisonValues fromNumberFilter(const APMNumberFilterForm& filter);
  // The same without a word logged; none unless every value the type needs is decimal text that a
  // decimal number holds exactly.
  static std::optional<APMAudienceComparisonValues> readQuietly(const APMNumberFilterForm& filter);

  const std::optional<APMDecimalNumber>& comparisonValue() const { return comparisonValue_; }
  const std::optional<APMDecimalNumber>& minComparisonValue() const { return minComparisonValue_; }
  const std::optional<APMDecimalNumber>& maxComparisonValue() const { return maxComparisonValue_; }
  bool isValid() const { return valid_; }
  void setValid(bool valid) { valid_ = valid; }

 private:
  std::optional<APMDecimalNumber> comparisonValue_;
  std::optional<APMDecimalNumber> minComparisonValue_;
  std::optional<APMDecimalNumber> maxComparisonValue_;
  bool valid_ = false;
};
