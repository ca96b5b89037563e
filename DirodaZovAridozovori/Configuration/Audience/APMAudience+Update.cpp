// Storing a configuration's audiences: validation, renaming to internal names, and the stale
// results that a new configuration may delete.

#include <algorithm>

#include "APMAudience.h"
#include "APMAudienceFilterMatching.h"
#include "APMAudienceLog.h"
#include "APMDatabase.h"
#include "APMError.h"
#include "APMFilterForms.h"
#include "APMNameTables.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

using EventFilterMessages = std::vector<std::shared_ptr<APMPBEventFilter>>;
using PropertyFilterMessages = std::vector<std::shared_ptr<APMPBPropertyFilter>>;
using FilterMessages = std::vector<std::shared_ptr<APMPBFilter>>;

platform::Error refusal(int64_t code, const char* description) { return APMError::apm_errorWithCode(code, description); }

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

bool isFilterIDInRange(int32_t filterID, const APMAudienceLimits& limits) {
  return filterID >= 0 && filterID < limits.maxFiltersPerAudience;
}

std::optional<platform::Error> parameterFilterError(const APMFilterForm& filter) {
  const int64_t code = APMAudience::kEventFilterErrorCode;
  if (!hasText(filter.parameterName)) return refusal(code, "Event filter missing parameter name");
  if (filter.numberFilter.has_value() == filter.stringFilter.has_value()) {
    return refusal(code, "Event filter must have exactly one of number or string filter");
  }
  if (filter.numberFilter && !APMIsValidNumberFilter(*filter.numberFilter)) {
    return refusal(code, "Event filter has invalid number filter");
  }
  if (filter.stringFilter && !APMIsValidStringFilter(*filter.stringFilter)) {
    return refusal(code, "Event filter has invalid string filter");
  }
  return std::nullopt;
}

std::optional<platform::Error> eventFilterError(const APMEventFilterForm& filter, std::set<int32_t>& filterIDs,
                                                const APMAudienceLimits& limits) {
  const int64_t code = APMAudience::kEventFilterErrorCode;
  if (!hasText(filter.eventName)) return refusal(code, "Event filter missing event name");
  if (!filter.filterID) return refusal(code, "Missing event filter ID");
  if (!isFilterIDInRange(*filter.filterID, limits)) return refusal(code, "Event filter ID is out of range");
  if (!filterIDs.insert(*filter.filterID).second) return refusal(code, "Duplicate event filter ID");
  if (filter.eventCountFilter) {
    if (filter.eventCountFilter->matchAsFloat) return refusal(code, "Event filter has float event count filter");
    if (!APMIsValidNumberFilter(*filter.eventCountFilter)) {
      return refusal(code, "Event filter has invalid event count filter");
    }
  }
  if (filter.filters.size() > static_cast<size_t>(std::max(limits.maxParametersPerFilter, 0))) {
    return refusal(code, "Event filter parameters filters count out of range");
  }
  for (const APMFilterForm& parameterFilter : filter.filters) {
    if (auto error = parameterFilterError(parameterFilter)) return error;
  }
  return std::nullopt;
}

std::optional<platform::Error> propertyFilterError(const APMPropertyFilterForm& filter, std::set<int32_t>& filterIDs,
                                                   const APMAudienceLimits& limits) {
  const int64_t code = APMAudience::kPropertyFilterErrorCode;
  if (!hasText(filter.propertyName)) return refusal(code, "Property filter missing property name");
  if (!filter.filterID) return refusal(code, "Missing property filter ID");
  if (!isFilterIDInRange(*filter.filterID, limits)) return refusal(code, "Property filter ID is out of range");
  if (!filterIDs.insert(*filter.filterID).second) return refusal(code, "Duplicate property filter ID");
  if (!filter.filter) return refusal(code, "Property filter has no filter");
  const APMFilterForm& inner = *filter.filter;
  if (inner.numberFilter.has_value() == inner.stringFilter.has_value() ||
      (inner.numberFilter && !APMIsValidNumberFilter(*inner.numberFilter))) {
    return refusal(code, "Property filter must have exactly one of number or string filter");
  }
  if (inner.stringFilter && !APMIsValidStringFilter(*inner.stringFilter)) {
    return refusal(code, "Property filter has invalid string filter");
  }
  return std::nullopt;
}

std::string renamed(const std::string& name, const APMNameMap& map) {
  auto found = map.find(name);
  return found == map.end() ? name : found->second;
}

// The filter stored under the internal names of its event and parameters.
APMEventFilter storedEventFilter(int32_t audienceID, APMPBEventFilter& message) {
  using M = APMPBEventFilter;
  const std::string eventName = renamed(APMNanoGetString(message, M::kEventName).value_or(""),
                                        APMPublicToInternalEventNames());
  APMNanoSetString(message, M::kEventName, eventName);
  auto filters = APMNanoGetRepeatedField<std::shared_ptr<APMPBFilter>>(message, M::kFilters).value_or(FilterMessages{});
  bool changed = false;
  for (auto& filter : filters) {
    const std::string name = APMNanoGetString(*filter, APMPBFilter::kParamName).value_or("");
    const std::string internal = renamed(name, APMPublicToInternalParameterNames());
    if (internal == name) continue;
    APMNanoSetString(*filter, APMPBFilter::kParamName, internal);
    changed = true;
  }
  if (changed) APMNanoSetRepeatedField(message, M::kFilters, filters);
  return APMEventFilter(audienceID, APMNanoGetInt32(message, M::kFilterId), eventName, message.protoBuffer(),
                        APMNanoGetBool(message, M::kSessionScoped), APMNanoGetBool(message, M::kDynamic),
                        APMNanoGetBool(message, M::kSequence));
}

APMPropertyFilter storedPropertyFilter(int32_t audienceID, APMPBPropertyFilter& message) {
  using M = APMPBPropertyFilter;
  const std::string propertyName = renamed(APMNanoGetString(message, M::kPropertyName).value_or(""),
                                           APMUserPropertyInternalNameMap());
  APMNanoSetString(message, M::kPropertyName, propertyName);
  return APMPropertyFilter(audienceID, APMNanoGetInt32(message, M::kFilterId), propertyName, message.protoBuffer(),
                           APMNanoGetBool(message, M::kSessionScoped), APMNanoGetBool(message, M::kDynamic),
                           APMNanoGetBool(message, M::kSequence));
}

}  // namespace

std::optional<platform::Error> APMAudience::validationError(const APMPBAudience& audience,
                                                            const std::set<int32_t>& acceptedAudienceIDs,
                                                            const APMAudienceLimits& limits) {
  using M = APMPBAudience;
  const int64_t code = kAudienceErrorCode;
  if (!APMNanoHasField(audience, M::kAudienceId)) return refusal(code, "Missing audience ID");
  const int32_t audienceID = APMNanoGetInt32(audience, M::kAudienceId);
  if (audienceID < 0) return refusal(code, "Audience ID is negative");
  if (acceptedAudienceIDs.count(audienceID) != 0) return refusal(code, "Duplicate audience ID");
  auto eventFilters = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventFilter>>(audience, M::kEventFilters);
  auto propertyFilters = APMNanoGetRepeatedField<std::shared_ptr<APMPBPropertyFilter>>(audience, M::kPropertyFilters);
  if (!eventFilters && !propertyFilters) return refusal(code, "Audience missing filters arrays");
  const size_t filterCount = (eventFilters ? eventFilters->size() : 0) + (propertyFilters ? propertyFilters->size() : 0);
  if (filterCount < 1 || filterCount > static_cast<size_t>(std::max(limits.maxFiltersPerAudience, 0))) {
    return refusal(code, "Audience filter count out of range");
  }
  // Event and property filters share one space of filter IDs.
  std::set<int32_t> filterIDs;
  for (const auto& filter : eventFilters.value_or(EventFilterMessages{})) {
    if (auto error = eventFilterError(APMEventFilterForm::fromMessage(*filter), filterIDs, limits)) return error;
  }
  for (const auto& filter : propertyFilters.value_or(PropertyFilterMessages{})) {
    if (auto error = propertyFilterError(APMPropertyFilterForm::fromMessage(*filter), filterIDs, limits)) return error;
  }
  return std::nullopt;
}

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const APMAudienceLimits currentLimits = limits();
  if (audiences.size() > static_cast<size_t>(std::max(currentLimits.maxAudienceCount, 0))) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kTooManyAudiences,
           "Configuration contains too many audiences. Audiences will not be saved. Audience count",
           {static_cast<int64_t>(audiences.size())});
    return true;
  }
  std::set<int32_t> acceptedIDs;
  std::vector<APMEventFilter> eventFilters;
  std::vector<APMPropertyFilter> propertyFilters;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    if (auto error = validationError(*audience, acceptedIDs, currentLimits)) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kInvalidAudienceDefinition,
             "Audience definition is invalid. Audience will not be saved. Audience, error",
             {APMNanoGetInt32(*audience, APMPBAudience::kAudienceId), *error});
      continue;
    }
    const int32_t audienceID = APMNanoGetInt32(*audience, APMPBAudience::kAudienceId);
    acceptedIDs.insert(audienceID);
    for (auto& filter : APMNanoGetRepeatedField<std::shared_ptr<APMPBEventFilter>>(*audience, APMPBAudience::kEventFilters)
                            .value_or(EventFilterMessages{})) {
      eventFilters.push_back(storedEventFilter(audienceID, *filter));
    }
    for (auto& filter :
         APMNanoGetRepeatedField<std::shared_ptr<APMPBPropertyFilter>>(*audience, APMPBAudience::kPropertyFilters)
             .value_or(PropertyFilterMessages{})) {
      propertyFilters.push_back(storedPropertyFilter(audienceID, *filter));
    }
  }
  if (!maybeDeleteStaleFilterResults(acceptedIDs)) return false;

  platform::Error error;
  if (!database_->audienceFilters().deleteAllEventFilters(&error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventFiltersNotDeleted,
           "Unable to delete existing Audience event filters. Audiences will not be saved. Error", {error});
    return false;
  }
  if (!database_->audienceFilters().deleteAllPropertyFilters(&error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kPropertyFiltersNotDeleted,
           "Unable to delete existing Audience user property filters. Audiences will not be saved. Error", {error});
    return false;
  }
  if (!eventFilters.empty() && !database_->audienceFilters().updateEventFilters(eventFilters, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventFiltersNotSaved,
           "Unable to save Audience event filters. Audiences will not be saved. Error", {error});
    return false;
  }
  if (!propertyFilters.empty() && !database_->audienceFilters().updatePropertyFilters(propertyFilters, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kPropertyFiltersNotSaved,
           "Unable to save Audience user property filters. Audiences will not be saved. Error", {error});
    return false;
  }
  reportedRegexFailures_.clear();
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs) {
  platform::Error error;
  auto results = database_->audienceFilters().allFilterResults(&error);
  if (!results) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kFilterResultsQueryFailed,
           "Unable to query Audience filter results. Audiences will not be saved. Error", {error});
    return false;
  }
  const int32_t maxCount = limits().maxFilterResultCount;
  if (results->size() <= static_cast<size_t>(std::max(maxCount, 0))) return true;
  APMLog(APMLogLevel::kWarning, APMAudienceLogCode::kTooManyFilterResults,
         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, "
         "max filter result count",
         {static_cast<int64_t>(results->size()), maxCount});
  auto storedIDs = database_->audienceFilters().allAudienceIDs(&error);
  if (!storedIDs) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kAudienceIDsQueryFailed,
           "Unable to query current Audience IDs. Audiences will not be saved. Error", {error});
    return false;
  }
  std::vector<int32_t> stale;
  for (const auto& [audienceID, result] : *results) {
    if (storedIDs->count(audienceID) == 0 && audienceIDs.count(audienceID) == 0) stale.push_back(audienceID);
  }
  if (!stale.empty() && !database_->audienceFilters().deleteFilterResults(stale, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kStaleFilterResultsNotDeleted,
           "Unable to delete stale Audience filter results. Audiences will not be saved. Error", {error});
    return false;
  }
  return true;
}
