#include "APMAudienceFilterMatching.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "APMAudienceComparisonValues.h"
#include "APMAudienceLog.h"
#include "Utilities/APMNumericUtil.h"
#include "platform/Regex.h"
#include "platform/Unicode.h"

namespace {

constexpr const char* kNotEvaluated = "Audience filter will not be evaluated";

std::string notEvaluated(const std::string& reason) { return reason + ". " + kNotEvaluated; }

// Text in the form the string match types compare: the case-folded text for a case-insensitive
// filter, so an exact or ends-with match compares whole folded texts, and a text whose folding
// changes its length ("STRASSE" against "straße") is judged on its folded content, not on the
// lengths of the original texts.
std::u16string comparable(const std::string& text, bool caseSensitive) {
  std::u16string utf16 = platform::utf8ToUtf16(text);
  return caseSensitive ? utf16 : platform::foldCase(utf16);
}

// A comparison value as the configuration's number texts are read for doubles: an optional "+"
// or "-", then decimal text. Rounded to the nearest double; none for anything else or a value no
// double holds.
std::optional<double> parseComparisonDouble(const std::string& text) {
  if (!APMIsDecimalString(text)) return std::nullopt;
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  auto [end, status] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (status != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

double stepped(double value, int steps) {
  const double direction = steps < 0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  for (int i = 0; i < std::abs(steps); ++i) value = std::nextafter(value, direction);
  return value;
}

// Compiled expressions by (pattern, case-sensitive): a filter is matched against every event of its
// name, and compiling is far dearer than matching. Bounded; cleared whole when full.
class RegexCache {
 public:
  std::shared_ptr<platform::Regex> compile(const std::string& pattern, bool caseSensitive, platform::Error* error) {
    const auto key = std::make_pair(pattern, caseSensitive);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(key);
      if (found != entries_.end()) return found->second;
    }
    platform::RegexLimits limits;
    limits.timeSteps = kAPMAudienceRegexTimeSteps;
    auto regex = platform::Regex::compile(std::string_view(pattern),
                                          caseSensitive ? 0u : platform::kRegexCaseInsensitive, error, limits);
    if (!regex) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_.emplace(key, regex);
    return regex;
  }

 private:
  static constexpr size_t kMaxEntries = 512;
  std::mutex mutex_;
  std::map<std::pair<std::string, bool>, std::shared_ptr<platform::Regex>> entries_;
};

RegexCache& regexCache() {
  static RegexCache* cache = new RegexCache();
  return *cache;
}

std::string parametersDescription(const APMParameters& parameters) {
  std::string text;
  for (const auto& [name, value] : parameters) text += (text.empty() ? "" : ", ") + name + ": " + value.description();
  return "{" + text + "}";
}

bool isComparisonWithOneValue(int32_t type) {
  return type == kAPMComparisonLessThan || type == kAPMComparisonGreaterThan || type == kAPMComparisonEqual;
}

template <class Number>
APMFilterOutcome compare(int32_t type, const Number& value, const Number& comparison, const Number& min,
                         const Number& max) {
  switch (type) {
    case kAPMComparisonLessThan:
      return value < comparison;
    case kAPMComparisonGreaterThan:
      return value > comparison;
    case kAPMComparisonEqual:
      return value == comparison;
    case kAPMComparisonBetween:
      return min <= value && value <= max;
    default:
      return std::nullopt;
  }
}

APMFilterOutcome matchParameterFilter(const APMFilterForm& filter, const std::string& eventName,
                                      const APMParameters& parameters, APMFilterMatchNotes* notes) {
  if (!filter.parameterName || filter.parameterName->empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventFilterWithoutParameterName,
           notEvaluated("Event filter does not have parameter name"));
    return std::nullopt;
  }
  auto found = parameters.find(*filter.parameterName);
  if (found == parameters.end()) {
    APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kEventWithoutRequiredParameter,
           notEvaluated("Event does not have parameter required by filter"));
    return std::nullopt;
  }
  // Numeric text in an event parameter is text: only a string filter can judge it.
  if (found->second.isString() && !filter.stringFilter) {
    APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kStringParameterWithoutStringFilter,
           "Event param is a string and the filter does not have a string filter. " + std::string(kNotEvaluated) +
               ". Event name, event params, filter",
           {eventName, parametersDescription(parameters), filter.description()});
    return std::nullopt;
  }
  return APMMatchFilter(filter, found->second, notes);
}

}  // namespace

APMFilterOutcome APMMatchEventFilter(const APMEventFilterForm* filter, const std::string& eventName,
                                     const APMParameters& parameters, const APMEventAggregates& aggregates,
                                     APMFilterMatchNotes* notes) {
  if (!filter) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoEventFilter, notEvaluated("Event filter is nil"));
    return std::nullopt;
  }
  if (eventName.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoEventName, notEvaluated("Event name is nil"));
    return std::nullopt;
  }
  if (filter->eventName != eventName) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventFilterNameMismatch,
           notEvaluated("Event filter name does not match event name"));
    return std::nullopt;
  }
  if (!filter->eventCountFilter && filter->filters.empty()) return true;
  if (filter->eventCountFilter) {
    if (aggregates.name() != eventName) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventAggregatesNameMismatch,
             notEvaluated("Event aggregates name does not match event name"));
      return std::nullopt;
    }
    // The whole 64-bit count: a lifetime count past 2^31 must not wrap into a small or negative one.
    const int64_t count = filter->sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount();
    APMFilterOutcome outcome = APMMatchNumberFilterWithInteger(*filter->eventCountFilter, count);
    if (!outcome || !*outcome) return outcome;
  }
  for (const APMFilterForm& parameterFilter : filter->filters) {
    APMFilterOutcome outcome = matchParameterFilter(parameterFilter, eventName, parameters, notes);
    if (!outcome || !*outcome) return outcome;
  }
  return true;
}

APMFilterOutcome APMMatchPropertyFilter(const APMPropertyFilterForm* filter, const APMUserAttribute* property,
                                        APMFilterMatchNotes* notes) {
  if (!filter) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoPropertyFilter, notEvaluated("Property filter is nil"));
    return std::nullopt;
  }
  if (!property) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoUserProperty, notEvaluated("User property is nil"));
    return std::nullopt;
  }
  if (filter->propertyName != property->name()) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUserPropertyNameMismatch,
           notEvaluated("User property name does not match property filter name"));
    return std::nullopt;
  }
  if (!filter->filter) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kPropertyFilterWithoutFilter,
           notEvaluated("Property filter does not have filter"));
    return std::nullopt;
  }
  if (property->value().isArray()) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownUserPropertyType,
           notEvaluated("Unknown user property type") + ". Property Name", {property->name()});
    return std::nullopt;
  }
  return APMMatchFilter(*filter->filter, property->value(), notes);
}

APMFilterOutcome APMMatchFilter(const APMFilterForm& filter, const APMValue& value, APMFilterMatchNotes* notes) {
  if (!filter.numberFilter && !filter.stringFilter) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoNumberOrStringFilter,
           notEvaluated("Filter has neither a number nor string filter"));
    return std::nullopt;
  }
  APMFilterOutcome outcome;
  if (filter.numberFilter) {
    if (value.isString()) {
      if (!APMIsDecimalString(value.stringValue())) {
        APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kStringValueNotNumeric,
               notEvaluated("String value is not a numeric value") + ". Value, filter",
               {value.stringValue(), filter.description()});
        return std::nullopt;
      }
      auto decimal = APMDecimalNumberFromString(value.stringValue());
      if (!decimal) return std::nullopt;
      outcome = APMMatchNumberFilterWithDecimal(*filter.numberFilter, *decimal);
    } else if (value.isDouble()) {
      if (!std::isfinite(value.doubleValue())) {
        APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kValueOutOfDoubleRange,
               notEvaluated("Value is not within double range"));
        return std::nullopt;
      }
      outcome = APMMatchNumberFilterWithDouble(*filter.numberFilter, value.doubleValue());
    } else if (value.isInt64()) {
      outcome = APMMatchNumberFilterWithInteger(*filter.numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (!value.isString()) {
      APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kValueNotString, notEvaluated("Value is not a string"));
      return std::nullopt;
    }
    outcome = APMMatchStringFilter(*filter.stringFilter, value.stringValue(), notes);
  }
  if (outcome && filter.complement) outcome = !*outcome;
  return outcome;
}

bool APMIsValidNumberFilter(const APMNumberFilterForm& filter) {
  if (!filter.comparisonType) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoComparisonType, "Number filter has no comparison type");
    return false;
  }
  const int32_t type = *filter.comparisonType;
  if (type == kAPMComparisonUnknown) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownComparisonTypeWhenMatching,
           "Number filter has unknown comparison type");
    return false;
  }
  if (isComparisonWithOneValue(type)) {
    if (filter.comparisonValue && APMIsDecimalString(*filter.comparisonValue)) return true;
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidComparisonValue,
           "Numeric filter does not have a valid comparison value. Filter", {filter.description()});
    return false;
  }
  if (type == kAPMComparisonBetween) {
    const bool validMin = filter.minComparisonValue && APMIsDecimalString(*filter.minComparisonValue);
    const bool validMax = filter.maxComparisonValue && APMIsDecimalString(*filter.maxComparisonValue);
    if (!validMin) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidMinComparisonValue,
             "Numeric filter does not have a valid min comparison value. Filter", {filter.description()});
    }
    if (!validMax) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidMaxComparisonValue,
             "Numeric filter does not have a valid max comparison value. Filter", {filter.description()});
    }
    return validMin && validMax;
  }
  APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kRealUnknownComparisonType,
         "Number filter has a real unknown comparison type");
  return false;
}

APMFilterOutcome APMMatchNumberFilterWithDouble(const APMNumberFilterForm& filter, double value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  const int32_t type = *filter.comparisonType;
  std::optional<double> comparison, min, max;
  if (isComparisonWithOneValue(type)) {
    comparison = parseComparisonDouble(*filter.comparisonValue);
  } else {
    min = parseComparisonDouble(*filter.minComparisonValue);
    max = parseComparisonDouble(*filter.maxComparisonValue);
  }
  if (isComparisonWithOneValue(type) ? !comparison : (!min || !max)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidComparisonFilter,
           notEvaluated("Number filter is invalid, the comparison filter is not valid"));
    return std::nullopt;
  }
  if (type == kAPMComparisonEqual) {
    // Equal within the representable neighbours of the comparison value: a value computed in
    // binary floating point rarely lands exactly on a decimal comparison text.
    return stepped(*comparison, -2) < value && value < stepped(*comparison, 2);
  }
  APMFilterOutcome outcome = compare(type, value, comparison.value_or(0), min.value_or(0), max.value_or(0));
  if (!outcome) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownDoubleComparisonType,
           notEvaluated("Validated double number filter has unknown comparison type"));
  }
  return outcome;
}

APMFilterOutcome APMMatchNumberFilterWithInteger(const APMNumberFilterForm& filter, int64_t value) {
  return APMMatchNumberFilterWithDecimal(filter, APMDecimalNumber::fromInt64(value));
}

APMFilterOutcome APMMatchNumberFilterWithDecimal(const APMNumberFilterForm& filter, const APMDecimalNumber& value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  std::optional<APMAudienceComparisonValues> read;
  const APMAudienceComparisonValues* values = filter.decimalValues.get();
  if (!values) {
    read = APMAudienceComparisonValues::fromNumberFilter(filter);
    values = &*read;
  }
  if (!values->isValid()) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidDecimalComparisonValues,
           notEvaluated("Parsed decimal number comparison values are not valid") + ". Filter", {filter.description()});
    return std::nullopt;
  }
  const APMDecimalNumber zero;
  APMFilterOutcome outcome = compare(*filter.comparisonType, value, values->comparisonValue().value_or(zero),
                                     values->minComparisonValue().value_or(zero),
                                     values->maxComparisonValue().value_or(zero));
  if (!outcome) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownDecimalComparisonType,
           notEvaluated("Validated decimal number for number filter has unknown comparison type"));
  }
  return outcome;
}

bool APMIsValidStringFilter(const APMStringFilterForm& filter, std::shared_ptr<platform::Regex>* compiled) {
  if (!filter.matchType) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoMatchType, "String filter has no match type");
    return false;
  }
  const int32_t type = *filter.matchType;
  if (type == kAPMMatchUnknown) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownMatchType, "String filter has unknown match type");
    return false;
  }
  if (type == kAPMMatchInList) {
    if (!filter.expressionList.empty()) return true;
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoExpressionList, "String filter has no expression list");
    return false;
  }
  if (!filter.expression) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoExpression, "String filter has no expression");
    return false;
  }
  if (type != kAPMMatchRegularExpression) return true;
  platform::Error error;
  auto regex = regexCache().compile(*filter.expression, filter.caseSensitive, &error);
  if (!regex) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnparsableRegex, "Unable to parse regular expression",
           {filter.description(), error});
    return false;
  }
  if (compiled) *compiled = std::move(regex);
  return true;
}

APMFilterOutcome APMMatchStringFilter(const APMStringFilterForm& filter, const std::optional<std::string>& value,
                                      APMFilterMatchNotes* notes) {
  if (!value) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoEvaluationString,
           notEvaluated("Evaluation string is nil"));
    return std::nullopt;
  }
  std::shared_ptr<platform::Regex> regex;
  if (!APMIsValidStringFilter(filter, &regex)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kInvalidStringFilter,
           notEvaluated("String filter is invalid"));
    return std::nullopt;
  }
  const int32_t type = *filter.matchType;
  if (type == kAPMMatchUnknown) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUnknownStringComparisonType,
           notEvaluated("Validated string filter has unknown comparison type"));
    return std::nullopt;
  }
  if (type == kAPMMatchRegularExpression) {
    if (!regex) {
      APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kNoParsedRegex, notEvaluated("Parsed regex is nil"));
      return std::nullopt;
    }
    platform::Error error;
    const bool found = regex->contains(std::string_view(*value), &error);
    if (!error.empty()) {
      if (notes) notes->regexFailed = true;
      return std::nullopt;
    }
    return found;
  }
  // Outside the enumeration on either side: no match (a negative type is no exact match).
  if (type < kAPMMatchUnknown || type > kAPMMatchInList) return false;
  const std::u16string text = comparable(*value, filter.caseSensitive);
  if (type == kAPMMatchInList) {
    for (const std::string& entry : filter.expressionList) {
      if (text == comparable(entry, filter.caseSensitive)) return true;
    }
    return false;
  }
  const std::u16string expression = comparable(*filter.expression, filter.caseSensitive);
  switch (type) {
    case kAPMMatchBeginsWith:
      return text.starts_with(expression);
    case kAPMMatchEndsWith:
      return text.ends_with(expression);
    case kAPMMatchContains:
      return text.find(expression) != std::u16string::npos;
    default:
      return text == expression;
  }
}
