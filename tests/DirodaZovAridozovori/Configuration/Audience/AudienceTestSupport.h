#pragma once
// Helpers shared by the audience tests: captured audience log lines and short builders of filter
// forms. Comparison and match types are written as the numbers the configuration sends.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMLogCapture.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "Audience/APMAudienceLog.h"
#include "Audience/APMFilterForms.h"

// Captures the audience log lines for the test's lifetime.
using CapturedAudienceLog = testsupport::APMLogCapture;

inline APMNumberFilterForm numberFilter(int32_t type, std::optional<std::string> value) {
  APMNumberFilterForm filter;
  filter.comparisonType = type;
  filter.comparisonValue = std::move(value);
  return filter;
}

inline APMNumberFilterForm betweenFilter(std::optional<std::string> min, std::optional<std::string> max) {
  APMNumberFilterForm filter;
  filter.comparisonType = 4;
  filter.minComparisonValue = std::move(min);
  filter.maxComparisonValue = std::move(max);
  return filter;
}

inline APMStringFilterForm stringFilter(int32_t type, std::optional<std::string> expression,
                                        bool caseSensitive = false, std::vector<std::string> list = {}) {
  APMStringFilterForm filter;
  filter.matchType = type;
  filter.expression = std::move(expression);
  filter.caseSensitive = caseSensitive;
  filter.expressionList = std::move(list);
  return filter;
}

inline APMFilterForm withNumber(APMNumberFilterForm number, bool complement = false,
                                std::optional<std::string> parameter = std::nullopt) {
  APMFilterForm filter;
  filter.numberFilter = std::move(number);
  filter.complement = complement;
  filter.parameterName = std::move(parameter);
  return filter;
}

inline APMFilterForm withString(APMStringFilterForm string, bool complement = false,
                                std::optional<std::string> parameter = std::nullopt) {
  APMFilterForm filter;
  filter.stringFilter = std::move(string);
  filter.complement = complement;
  filter.parameterName = std::move(parameter);
  return filter;
}

// Readable outcomes in failure messages.
inline std::string outcomeText(const std::optional<bool>& outcome) {
  return outcome ? (*outcome ? "YES" : "NO") : "none";
}

// The ID and kind flags that event and property filters share.
template <class Message, class Form>
void writeCommonFields(Message& message, const Form& form) {
  if (form.filterID) APMNanoSetInt32(message, Message::kFilterId, *form.filterID);
  if (form.dynamic) APMNanoSetBool(message, Message::kDynamic, true);
  if (form.sequence) APMNanoSetBool(message, Message::kSequence, true);
  if (form.sessionScoped) APMNanoSetBool(message, Message::kSessionScoped, true);
}

// Messages of the forms, as a configuration would carry them.
inline std::shared_ptr<APMPBNumberFilter> messageOf(const APMNumberFilterForm& form) {
  using M = APMPBNumberFilter;
  auto message = M::initWithMessageInfo();
  if (form.comparisonType) APMNanoSetInt32(*message, M::kComparisonType, *form.comparisonType);
  if (form.matchAsFloat) APMNanoSetBool(*message, M::kMatchAsFloat, true);
  APMNanoSetString(*message, M::kComparisonValue, form.comparisonValue);
  APMNanoSetString(*message, M::kMinComparisonValue, form.minComparisonValue);
  APMNanoSetString(*message, M::kMaxComparisonValue, form.maxComparisonValue);
  return message;
}

inline std::shared_ptr<APMPBStringFilter> messageOf(const APMStringFilterForm& form) {
  using M = APMPBStringFilter;
  auto message = M::initWithMessageInfo();
  if (form.matchType) APMNanoSetInt32(*message, M::kMatchType, *form.matchType);
  APMNanoSetString(*message, M::kExpression, form.expression);
  if (form.caseSensitive) APMNanoSetBool(*message, M::kCaseSensitive, true);
  if (!form.expressionList.empty()) APMNanoSetRepeatedField(*message, M::kExpressionList, form.expressionList);
  return message;
}

inline std::shared_ptr<APMPBFilter> messageOf(const APMFilterForm& form) {
  using M = APMPBFilter;
  auto message = M::initWithMessageInfo();
  if (form.stringFilter) APMNanoSetMessage(*message, M::kStringFilter, messageOf(*form.stringFilter));
  if (form.numberFilter) APMNanoSetMessage(*message, M::kNumberFilter, messageOf(*form.numberFilter));
  if (form.complement) APMNanoSetBool(*message, M::kComplement, true);
  APMNanoSetString(*message, M::kParamName, form.parameterName);
  return message;
}

inline std::shared_ptr<APMPBEventFilter> messageOf(const APMEventFilterForm& form) {
  using M = APMPBEventFilter;
  auto message = M::initWithMessageInfo();
  writeCommonFields(*message, form);
  APMNanoSetString(*message, M::kEventName, form.eventName);
  std::vector<std::shared_ptr<APMPBFilter>> filters;
  for (const auto& filter : form.filters) filters.push_back(messageOf(filter));
  if (!filters.empty()) APMNanoSetRepeatedField(*message, M::kFilters, filters);
  if (form.eventCountFilter) APMNanoSetMessage(*message, M::kEventCountFilter, messageOf(*form.eventCountFilter));
  return message;
}

inline std::shared_ptr<APMPBPropertyFilter> messageOf(const APMPropertyFilterForm& form) {
  using M = APMPBPropertyFilter;
  auto message = M::initWithMessageInfo();
  writeCommonFields(*message, form);
  APMNanoSetString(*message, M::kPropertyName, form.propertyName);
  if (form.filter) APMNanoSetMessage(*message, M::kFilter, messageOf(*form.filter));
  return message;
}

// Kinds of filters the evaluation tests use.
struct FilterFlags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

template <class Form>
Form withFlags(Form form, int32_t id, FilterFlags flags) {
  form.filterID = id;
  form.dynamic = flags.dynamic;
  form.sequence = flags.sequence;
  form.sessionScoped = flags.sessionScoped;
  return form;
}

inline APMEventFilterForm eventFilterForm(int32_t id, std::string eventName, std::vector<APMFilterForm> filters = {},
                                          FilterFlags flags = {},
                                          std::optional<APMNumberFilterForm> count = std::nullopt) {
  APMEventFilterForm form;
  form.eventName = std::move(eventName);
  form.filters = std::move(filters);
  form.eventCountFilter = std::move(count);
  return withFlags(std::move(form), id, flags);
}

inline APMPropertyFilterForm propertyFilterForm(int32_t id, std::string propertyName, APMFilterForm filter,
                                                FilterFlags flags = {}) {
  APMPropertyFilterForm form;
  form.propertyName = std::move(propertyName);
  form.filter = std::move(filter);
  return withFlags(std::move(form), id, flags);
}

inline std::shared_ptr<APMPBAudience> audienceMessage(std::optional<int32_t> id,
                                                      const std::vector<APMEventFilterForm>& events,
                                                      const std::vector<APMPropertyFilterForm>& properties = {}) {
  auto audience = APMPBAudience::initWithMessageInfo();
  if (id) APMNanoSetInt32(*audience, APMPBAudience::kAudienceId, *id);
  std::vector<std::shared_ptr<APMPBEventFilter>> eventMessages;
  for (const auto& form : events) eventMessages.push_back(messageOf(form));
  std::vector<std::shared_ptr<APMPBPropertyFilter>> propertyMessages;
  for (const auto& form : properties) propertyMessages.push_back(messageOf(form));
  if (!eventMessages.empty()) APMNanoSetRepeatedField(*audience, APMPBAudience::kEventFilters, eventMessages);
  if (!propertyMessages.empty()) APMNanoSetRepeatedField(*audience, APMPBAudience::kPropertyFilters, propertyMessages);
  return audience;
}
