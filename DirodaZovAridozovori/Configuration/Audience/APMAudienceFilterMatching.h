#pragma once
// Whether one audience filter matches one event or user property, and whether a number or string
// filter is well formed. Every match answers YES, NO or none (cannot be evaluated: the audience's
// bit then stays as it was); every refusal is logged with its code. Keeps no state of its own
// beyond a cache of compiled regular expressions; runs on the worker queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Utilities/APMDecimalNumber.h"
#include "APMEventAggregates.h"
#include "APMFilterForms.h"
#include "APMUserAttribute.h"
#include "APMValue.h"

namespace platform {
class Regex;
}

// YES, NO, or none when the filter cannot be evaluated.
using APMFilterOutcome = std::optional<bool>;

// What a match noticed that its caller may want to report once per filter.
struct APMFilterMatchNotes {
  // A regular expression could not finish (its work or stack limit was reached; the answer was
  // none).
  bool regexFailed = false;
};

// The work limit of an audience regular expression, in steps of the regular-expression engine: a
// filter from the network must not hold the worker queue (a catastrophic pattern stops within a
// few milliseconds and cannot be evaluated).
inline constexpr int32_t kAPMAudienceRegexTimeSteps = 40;

APMFilterOutcome APMMatchEventFilter(const APMEventFilterForm* filter, const std::string& eventName,
                                     const APMParameters& parameters, const APMEventAggregates& aggregates,
                                     APMFilterMatchNotes* notes = nullptr);
APMFilterOutcome APMMatchPropertyFilter(const APMPropertyFilterForm* filter, const APMUserAttribute* property,
                                        APMFilterMatchNotes* notes = nullptr);
// The number filter wins when a filter has both; the complement flag inverts YES and NO.
APMFilterOutcome APMMatchFilter(const APMFilterForm& filter, const APMValue& value,
                                APMFilterMatchNotes* notes = nullptr);

bool APMIsValidNumberFilter(const APMNumberFilterForm& filter);
// Doubles compare as doubles, EQUAL within the two nearest representable neighbours.
APMFilterOutcome APMMatchNumberFilterWithDouble(const APMNumberFilterForm& filter, double value);
// Integers and numeric text compare exactly, as decimal numbers.
APMFilterOutcome APMMatchNumberFilterWithInteger(const APMNumberFilterForm& filter, int64_t value);
APMFilterOutcome APMMatchNumberFilterWithDecimal(const APMNumberFilterForm& filter, const APMDecimalNumber& value);

// A regular-expression filter's compiled expression is handed back through compiled.
bool APMIsValidStringFilter(const APMStringFilterForm& filter,
                            std::shared_ptr<platform::Regex>* compiled = nullptr);
APMFilterOutcome APMMatchStringFilter(const APMStringFilterForm& filter, const std::optional<std::string>& value,
                                      APMFilterMatchNotes* notes = nullptr);
