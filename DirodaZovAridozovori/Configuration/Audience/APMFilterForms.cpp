#include "APMFilterForms.h"

#include "APMAudienceComparisonValues.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

template <class Message>
std::optional<int32_t> optionalInt32(const Message& message, int index) {
  if (!APMNanoHasField(message, index)) return std::nullopt;
  return APMNanoGetInt32(message, index);
}

std::string quoted(const std::optional<std::string>& text) { return text ? "\"" + *text + "\"" : "none"; }

std::string number(const std::optional<int32_t>& value) { return value ? std::to_string(*value) : "none"; }

// The ID and kind flags that event and property filters share.
template <class Form, class Message>
void readCommonFields(Form& form, const Message& message) {
  form.filterID = optionalInt32(message, Message::kFilterId);
  form.dynamic = APMNanoGetBool(message, Message::kDynamic);
  form.sequence = APMNanoGetBool(message, Message::kSequence);
  form.sessionScoped = APMNanoGetBool(message, Message::kSessionScoped);
}

}  // namespace

APMNumberFilterForm APMNumberFilterForm::fromMessage(const APMPBNumberFilter& message) {
  using M = APMPBNumberFilter;
  APMNumberFilterForm form{optionalInt32(message, M::kComparisonType), APMNanoGetBool(message, M::kMatchAsFloat),
                           APMNanoGetString(message, M::kComparisonValue),
                           APMNanoGetString(message, M::kMinComparisonValue),
                           APMNanoGetString(message, M::kMaxComparisonValue), nullptr};
  if (auto values = APMAudienceComparisonValues::readQuietly(form)) {
    form.decimalValues = std::make_shared<const APMAudienceComparisonValues>(std::move(*values));
  }
  return form;
}

std::string APMNumberFilterForm::description() const {
  return "{comparison_type: " + number(comparisonType) + ", match_as_float: " + (matchAsFloat ? "1" : "0") +
         ", comparison_value: " + quoted(comparisonValue) + ", min: " + quoted(minComparisonValue) +
         ", max: " + quoted(maxComparisonValue) + "}";
}

APMStringFilterForm APMStringFilterForm::fromMessage(const APMPBStringFilter& message) {
  using M = APMPBStringFilter;
  return {optionalInt32(message, M::kMatchType), APMNanoGetString(message, M::kExpression),
          APMNanoGetBool(message, M::kCaseSensitive),
          APMNanoGetRepeatedField<std::string>(message, M::kExpressionList).value_or(std::vector<std::string>{})};
}

std::string APMStringFilterForm::description() const {
  std::string list;
  for (const std::string& entry : expressionList) list += (list.empty() ? "" : ", ") + quoted(entry);
  return "{match_type: " + number(matchType) + ", expression: " + quoted(expression) +
         ", case_sensitive: " + (caseSensitive ? "1" : "0") + ", expression_list: [" + list + "]}";
}

APMFilterForm APMFilterForm::fromMessage(const APMPBFilter& message) {
  using M = APMPBFilter;
  APMFilterForm form;
  if (auto filter = APMNanoGetMessage<APMPBStringFilter>(message, M::kStringFilter)) {
    form.stringFilter = APMStringFilterForm::fromMessage(*filter);
  }
  if (auto filter = APMNanoGetMessage<APMPBNumberFilter>(message, M::kNumberFilter)) {
    form.numberFilter = APMNumberFilterForm::fromMessage(*filter);
  }
  form.complement = APMNanoGetBool(message, M::kComplement);
  form.parameterName = APMNanoGetString(message, M::kParamName);
  return form;
}

std::string APMFilterForm::description() const {
  return "{string_filter: " + (stringFilter ? stringFilter->description() : "none") +
         ", number_filter: " + (numberFilter ? numberFilter->description() : "none") +
         ", complement: " + (complement ? "1" : "0") + ", param_name: " + quoted(parameterName) + "}";
}

APMEventFilterForm APMEventFilterForm::fromMessage(const APMPBEventFilter& message) {
  using M = APMPBEventFilter;
  APMEventFilterForm form;
  readCommonFields(form, message);
  form.eventName = APMNanoGetString(message, M::kEventName);
  for (const auto& filter : APMNanoGetRepeatedField<std::shared_ptr<APMPBFilter>>(message, M::kFilters)
                                .value_or(std::vector<std::shared_ptr<APMPBFilter>>{})) {
    form.filters.push_back(APMFilterForm::fromMessage(*filter));
  }
  if (auto count = APMNanoGetMessage<APMPBNumberFilter>(message, M::kEventCountFilter)) {
    form.eventCountFilter = APMNumberFilterForm::fromMessage(*count);
  }
  return form;
}

APMPropertyFilterForm APMPropertyFilterForm::fromMessage(const APMPBPropertyFilter& message) {
  using M = APMPBPropertyFilter;
  APMPropertyFilterForm form;
  readCommonFields(form, message);
  form.propertyName = APMNanoGetString(message, M::kPropertyName);
  if (auto filter = APMNanoGetMessage<APMPBFilter>(message, M::kFilter)) {
    form.filter = APMFilterForm::fromMessage(*filter);
  }
  return form;
}
