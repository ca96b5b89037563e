#include "APMAudience.h"

#include <type_traits>

#include "APMAudienceFilterMatching.h"
#include "APMAudienceLog.h"
#include "APMDatabase.h"
#include "APMFilterForms.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "RemoteConfig/APMRemoteConfig.h"

namespace {

// Filter IDs of stored rows beyond any configuration's range: a damaged row must not make a
// result grow by millions of words.
constexpr int32_t kMaxStoredFilterID = 64 * 1024 - 1;

constexpr const char* kUnreadableResult =
    "Audience filter result is non-nil and is missing status or results array. Audience result will not be bundled. "
    "Audience ID, result data";

template <class Filter>
APMAudienceFilterKind kindOf(const Filter& filter) {
  return {filter.audienceID(), filter.filterID(), std::is_same_v<Filter, APMEventFilter>, filter.isDynamic(),
          filter.isSessionScoped(), filter.isSequence()};
}

// The stored filters with their messages decoded (none for a row that holds no usable filter).
template <class Prepared, class Message, class Filter>
std::vector<Prepared> prepared(std::vector<Filter> filters) {
  using Form = typename decltype(Prepared::form)::value_type;
  std::vector<Prepared> result;
  result.reserve(filters.size());
  for (Filter& filter : filters) {
    std::optional<Form> form;
    const bool usable = !filter.data().empty() && filter.filterID() >= 0 && filter.filterID() <= kMaxStoredFilterID;
    if (auto message = usable ? Message::fromBuffer(filter.data()) : nullptr) form = Form::fromMessage(*message);
    result.push_back({std::move(filter), std::move(form)});
  }
  return result;
}

}  // namespace

APMAudienceLimits APMAudienceLimits::fromRemoteConfig(APMRemoteConfig* config) {
  if (!config) {
    return {static_cast<int32_t>(APMSettings::kMaxAudienceCount.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxFiltersPerAudience.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxFilterResultCount.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxParametersPerFilter.defaultValue)};
  }
  return {config->eventLimits().maxAudienceCount(), config->eventLimits().maxFiltersPerAudience(), config->eventLimits().maxFilterResultCount(),
          config->eventLimits().maxParametersPerFilter()};
}

APMAudience::APMAudience(std::shared_ptr<APMDatabase> database,
                         std::function<std::shared_ptr<APMRemoteConfig>()> remoteConfig)
    : database_(std::move(database)), remoteConfig_(std::move(remoteConfig)) {}

APMAudienceLimits APMAudience::limits() const {
  std::shared_ptr<APMRemoteConfig> config = remoteConfig_ ? remoteConfig_() : nullptr;
  return APMAudienceLimits::fromRemoteConfig(config.get());
}

void APMAudience::reportRegexFailure(int32_t audienceID, int32_t filterID) {
  if (!reportedRegexFailures_.insert({audienceID, filterID}).second) return;
  APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kRegexWorkLimitReached,
         "Audience filter regular expression did not finish within its work limit. Audience filter will not be "
         "evaluated. Audience ID, filter ID",
         {audienceID, filterID});
}

void APMAudience::forgetFiltersWhenChanged() {
  if (database_->audienceFilters().audienceFiltersVersion() == filtersVersion_) return;
  filtersVersion_ = database_->audienceFilters().audienceFiltersVersion();
  eventFilters_.clear();
  propertyFilters_.clear();
}

namespace {

// The cached filters of the name, else those the database reads (decoded and kept); nullptr with
// the failure logged when it cannot read them.
template <class Message, class Prepared, class Read>
const std::vector<Prepared>* filtersNamed(std::map<std::string, std::vector<Prepared>>& cache, const std::string& name,
                                          Read read, APMAudienceLogCode failureCode, const char* failure) {
  auto known = cache.find(name);
  if (known != cache.end()) return &known->second;
  platform::Error error;
  auto filters = read(name, &error);
  if (!filters) {
    APMLog(APMLogLevel::kErrorSampled, failureCode, failure, {name, error});
    return nullptr;
  }
  return &cache.emplace(name, prepared<Prepared, Message>(std::move(*filters))).first->second;
}

}  // namespace

const APMAudience::EventFilters* APMAudience::eventFiltersNamed(const std::string& name) {
  forgetFiltersWhenChanged();
  return filtersNamed<APMPBEventFilter>(
      eventFilters_, name,
      [this](const std::string& eventName, platform::Error* error) {
        return database_->audienceFilters().eventFiltersForEventName(eventName, error);
      },
      APMAudienceLogCode::kEventFiltersQueryFailed,
      "Unable to query event filters for event. Event will not be evaluated. Event name, error");
}

const APMAudience::PropertyFilters* APMAudience::propertyFiltersNamed(const std::string& name) {
  forgetFiltersWhenChanged();
  return filtersNamed<APMPBPropertyFilter>(
      propertyFilters_, name,
      [this](const std::string& propertyName, platform::Error* error) {
        return database_->audienceFilters().propertyFiltersForPropertyName(propertyName, error);
      },
      APMAudienceLogCode::kPropertyFiltersQueryFailed,
      "Unable to query property filters for property. Property will not be evaluated. Property name, error");
}

APMAudienceEvaluationPass::Result* APMAudience::resultOf(int32_t audienceID, APMAudienceEvaluationPass& pass,
                                                         platform::Error* error) {
  if (auto* known = pass.knownResult(audienceID)) return known;
  platform::Error readError;
  auto stored = database_->audienceFilters().filterResultForAudienceID(audienceID, &readError);
  if (!stored && !readError.empty()) {
    if (error) *error = readError;
    return nullptr;
  }
  return &pass.addResult(audienceID, std::move(stored));
}

bool APMAudience::isTrue(APMAudienceEvaluationPass::Result& result, int32_t audienceID, int32_t filterID) {
  if (result.readable || result.changed) return result.bits.isTrue(filterID);
  if (result.stored && !result.stored->currentResults().empty() && !result.reportedUnreadable) {
    result.reportedUnreadable = true;
    APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kUnreadableResult, kUnreadableResult,
           {audienceID, result.stored->currentResults()});
  }
  return false;
}

template <class Filter, class Form, class Match, class Merge>
bool APMAudience::evaluateFilters(const std::string& name,
                                  const std::vector<Prepared<Filter, Form>>& filters,
                                  double timestamp, APMAudienceEvaluationPass& pass, const EvaluationLogs& logs,
                                  Match match, Merge merge) {
  platform::Error error;
  for (const auto& [filter, form] : filters) {
    const int32_t audienceID = filter.audienceID();
    APMAudienceEvaluationPass::Result* current = resultOf(audienceID, pass, &error);
    if (!current) {
      APMLog(APMLogLevel::kErrorSampled, logs.readFailureCode, logs.readFailure, {name, error});
      return false;
    }
    const bool wasTrue = isTrue(*current, audienceID, filter.filterID());
    if (wasTrue && !filter.isDynamic() && !filter.isSequence() && !filter.isSessionScoped()) continue;
    if (!form) {
      APMLog(APMLogLevel::kErrorSampled, logs.corruptCode, logs.corrupt,
             {name, filter.filterID(), audienceID, filter.isDynamic()});
      continue;
    }
    APMFilterMatchNotes notes;
    const APMFilterOutcome outcome = match(*form, notes);
    if (notes.regexFailed) reportRegexFailure(audienceID, filter.filterID());
    if (!outcome) continue;
    if (*outcome) pass.timestamps().addEvaluationTimestamp(timestamp, kindOf(filter));
    current->bits.set(filter.filterID(), merge(filter, *outcome, wasTrue));
    current->changed = true;
  }
  return true;
}

bool APMAudience::saveEvaluationPass(APMAudienceEvaluationPass& pass, platform::Error* error) {
  const std::vector<APMFilterResult> changed = pass.takeChangedResults();
  return changed.empty() || database_->audienceFilters().updateFilterResults(changed, error);
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                          APMAudienceEvaluationPass& pass) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), pass);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName, const APMParameters& parameters,
                                              const APMEventAggregates& aggregates, double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
  APMAudienceEvaluationPass pass(cache);
  if (!evaluateFiltersForEventName(eventName, parameters, aggregates, eventTimestamp, pass)) return false;
  platform::Error error;
  if (!saveEvaluationPass(pass, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kEventResultsNotSaved,
           "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error",
           {eventName, error});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName, const APMParameters& parameters,
                                              const APMEventAggregates& aggregates, double eventTimestamp,
                                              APMAudienceEvaluationPass& pass) {
  if (eventName.empty()) return true;
  const EventFilters* filters = eventFiltersNamed(eventName);
  if (!filters) return false;
  static const EvaluationLogs kLogs{
      APMAudienceLogCode::kEventFilterResultQueryFailed,
      "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
      APMAudienceLogCode::kCorruptEventFilter,
      "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, "
      "dynamic"};
  return evaluateFilters(
      eventName, *filters, eventTimestamp, pass, kLogs,
      [&](const APMEventFilterForm& form, APMFilterMatchNotes& notes) {
        return APMMatchEventFilter(&form, eventName, parameters, aggregates, &notes);
      },
      // An event filter, once true, stays true: a later event that does not match changes nothing.
      [](const APMEventFilter&, bool outcome, bool wasTrue) { return outcome || wasTrue; });
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
  APMAudienceEvaluationPass pass(cache);
  if (!evaluateFiltersForNanoUserProperty(property, pass, evaluationTime)) return false;
  platform::Error error;
  if (!saveEvaluationPass(pass, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUserPropertyResultsNotSaved,
           "Unable to save updated Audience filter results. User property will not be evaluated. User property "
           "name, error",
           {APMNanoGetString(property, APMPBUserAttribute::kName).value_or(""), error});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceEvaluationPass& pass,
                                                     std::optional<double> evaluationTime) {
  using M = APMPBUserAttribute;
  std::optional<APMValue> value;
  if (auto text = APMNanoGetString(property, M::kStringValue)) {
    value = APMValue(*text);
  } else if (APMNanoHasField(property, M::kDoubleValue)) {
    value = APMValue(APMNanoGetDouble(property, M::kDoubleValue));
  } else if (APMNanoHasField(property, M::kIntValue)) {
    value = APMValue(APMNanoGetInt64(property, M::kIntValue));
  }
  if (!value) {
    // One property without a value must not fail (and so hold back) the whole bundle.
    APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kUnconvertibleUserProperty,
           "Could not convert user property from nano format.");
    return true;
  }
  const APMUserAttribute attribute("", APMNanoGetString(property, M::kName).value_or(""), *value,
                                   static_cast<double>(APMNanoGetInt64(property, M::kSetTimestampMillis)) / 1000.0);
  return evaluateFiltersForUserProperty(attribute, pass, evaluationTime);
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                                 std::optional<double> evaluationTimestamp) {
  APMAudienceEvaluationPass pass(cache);
  if (!evaluateFiltersForUserProperty(property, pass, evaluationTimestamp)) return false;
  platform::Error error;
  if (!saveEvaluationPass(pass, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMAudienceLogCode::kUserPropertyResultsNotSaved,
           "Unable to save updated Audience filter results. User property will not be evaluated. User property "
           "name, error",
           {property.name(), error});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceEvaluationPass& pass,
                                                 std::optional<double> evaluationTimestamp) {
  const std::string& name = property.name();
  if (name.empty()) return true;
  const PropertyFilters* filters = propertyFiltersNamed(name);
  if (!filters) return false;
  static const EvaluationLogs kLogs{
      APMAudienceLogCode::kPropertyFilterResultQueryFailed,
      "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
      APMAudienceLogCode::kCorruptPropertyFilter,
      "User property filter contains no data or corrupt data. User property will not be evaluated. User property name, "
      "filter ID, audience ID, dynamic"};
  return evaluateFilters(
      name, *filters, evaluationTimestamp.value_or(property.lastSetTimestamp()), pass, kLogs,
      [&](const APMPropertyFilterForm& form, APMFilterMatchNotes& notes) {
        return APMMatchPropertyFilter(&form, &property, &notes);
      },
      // A property that stops matching clears the bit of a dynamic filter only; a session-scoped
      // filter keeps its bit until the session ends.
      [](const APMPropertyFilter& filter, bool outcome, bool wasTrue) {
        return (outcome || (filter.isDynamic() && !filter.isSessionScoped())) ? outcome : wasTrue;
      });
}

bool APMAudience::isFilterResult(const APMFilterResult* result, int32_t filterID) {
  if (!result || result->currentResults().empty()) return false;
  auto data = APMPBResultData::fromBuffer(result->currentResults());
  const APMFilterResultBits bits = data ? APMFilterResultBits::fromResultData(*data) : APMFilterResultBits{};
  if (bits.status.empty() || bits.results.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAudienceLogCode::kUnreadableResult, kUnreadableResult,
           {result->audienceID(), result->currentResults()});
    return false;
  }
  return bits.isTrue(filterID);
}

platform::Data APMAudience::encodedResultData(const APMFilterResultBits& bits, int32_t audienceID,
                                              const APMAudienceTimestampsCache& cache) {
  auto data = APMPBResultData::initWithMessageInfo();
  bits.writeTo(*data);
  APMNanoSetRepeatedField(*data, APMPBResultData::kDynamicFilterTimestamps,
                          cache.dynamicTimestampsForAudienceID(audienceID));
  if (auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
    APMNanoSetRepeatedField(*data, APMPBResultData::kSequenceFilterTimestamps, *sequence);
  }
  return data->protoBuffer();
}

APMFilterResult APMAudience::updatedFilterResultWithFilterID(int32_t filterID, int32_t audienceID,
                                                             const APMFilterResult* currentFilterResult,
                                                             bool newEvaluationResult,
                                                             const APMAudienceTimestampsCache& cache) {
  APMFilterResultBits bits;
  if (currentFilterResult && !currentFilterResult->currentResults().empty()) {
    if (auto current = APMPBResultData::fromBuffer(currentFilterResult->currentResults())) {
      bits = APMFilterResultBits::fromResultData(*current);
    }
  }
  bits.set(filterID, newEvaluationResult);
  return APMFilterResult(audienceID, encodedResultData(bits, audienceID, cache),
                         currentFilterResult ? currentFilterResult->previousResults() : platform::Data{});
}
