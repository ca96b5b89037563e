#include "APMAudience.h"

#include <type_traits>

#include "APMAudienceFilterMatching.h"
#include "APMAudienceLog.h"
#include "APMDatabase.h"
#include "APMFilterForms.h"
#include "APMFilterResultBits.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "RemoteConfig/APMRemoteConfig.h"

namespace {

// Filter IDs of stored rows beyond any configuration's range: a damaged row must not make a
// result grow by millions of words.
constexpr int32_t kMaxStoredFilterID = 64 * 1024 - 1;

template <class Filter>
APMAudienceFilterKind kindOf(const Filter& filter) {
  return {filter.audienceID(), filter.filterID(), std::is_same_v<Filter, APMEventFilter>, filter.isDynamic(),
          filter.isSessionScoped(), filter.isSequence()};
}

// The stored filter's message as a form, or none when the row holds no usable filter.
template <class Form, class Message, class Filter>
std::optional<Form> decodeFilter(const Filter& filter) {
  if (filter.data().empty() || filter.filterID() < 0 || filter.filterID() > kMaxStoredFilterID) return std::nullopt;
  auto message = Message::fromBuffer(filter.data());
  if (!message) return std::nullopt;
  return Form::fromMessage(*message);
}

}  // namespace

// The results one evaluation call reads and changes: each audience's result is read from the
// database at most once, and every change is written back in one statement at the end.
class APMAudience::EvaluationPass {
 public:
  explicit EvaluationPass(APMDatabase& database) : database_(database) {}

  // The audience's current result (none when it has none yet); false when the database failed.
  bool currentResult(int32_t audienceID, std::shared_ptr<APMFilterResult>& result, platform::Error* error) {
    auto known = results_.find(audienceID);
    if (known != results_.end()) {
      result = known->second;
      return true;
    }
    platform::Error readError;
    result = database_.filterResultForAudienceID(audienceID, &readError);
    if (!result && !readError.empty()) {
      if (error) *error = readError;
      return false;
    }
    results_.emplace(audienceID, result);
    return true;
  }

  void update(APMFilterResult result) {
    const int32_t audienceID = result.audienceID();
    results_[audienceID] = std::make_shared<APMFilterResult>(std::move(result));
    changed_.insert(audienceID);
  }

  bool save(platform::Error* error) {
    if (changed_.empty()) return true;
    std::vector<APMFilterResult> results;
    for (int32_t audienceID : changed_) results.push_back(*results_[audienceID]);
    return database_.updateFilterResults(results, error);
  }

 private:
  APMDatabase& database_;
  std::map<int32_t, std::shared_ptr<APMFilterResult>> results_;
  std::set<int32_t> changed_;
};

APMAudienceLimits APMAudienceLimits::fromRemoteConfig(APMRemoteConfig* config) {
  if (!config) {
    return {static_cast<int32_t>(APMSettings::kMaxAudienceCount.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxFiltersPerAudience.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxFilterResultCount.defaultValue),
            static_cast<int32_t>(APMSettings::kMaxParametersPerFilter.defaultValue)};
  }
  return {config->maxAudienceCount(), config->maxFiltersPerAudience(), config->maxFilterResultCount(),
          config->maxParametersPerFilter()};
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
  APMAudienceLog(1, 6044,
                 "Audience filter regular expression did not finish within its work limit. Audience filter will not be "
                 "evaluated. Audience ID, filter ID",
                 {audienceID, filterID});
}

template <class Form, class Message, class Filter, class Match, class Merge>
bool APMAudience::evaluateFilters(const std::string& name, const std::vector<Filter>& filters, double timestamp,
                                  APMAudienceTimestampsCache* cache, const EvaluationLogs& logs, Match match,
                                  Merge merge) {
  APMAudienceTimestampsCache ownCache;
  APMAudienceTimestampsCache& timestamps = cache ? *cache : ownCache;
  EvaluationPass pass(*database_);
  platform::Error error;
  for (const Filter& filter : filters) {
    std::shared_ptr<APMFilterResult> current;
    if (!pass.currentResult(filter.audienceID(), current, &error)) {
      APMAudienceLog(1, logs.readFailureCode, logs.readFailure, {name, error});
      return false;
    }
    const bool wasTrue = isFilterResult(current.get(), filter.filterID());
    if (wasTrue && !filter.isDynamic() && !filter.isSequence() && !filter.isSessionScoped()) continue;
    auto form = decodeFilter<Form, Message>(filter);
    if (!form) {
      APMAudienceLog(1, logs.corruptCode, logs.corrupt,
                     {name, filter.filterID(), filter.audienceID(), filter.isDynamic()});
      continue;
    }
    APMFilterMatchNotes notes;
    const APMFilterOutcome outcome = match(*form, notes);
    if (notes.regexFailed) reportRegexFailure(filter.audienceID(), filter.filterID());
    if (!outcome) continue;
    timestamps.populateCachedTimestamps(current.get(), filter.audienceID());
    if (*outcome) timestamps.addEvaluationTimestamp(timestamp, kindOf(filter));
    pass.update(updatedFilterResultWithFilterID(filter.filterID(), filter.audienceID(), current.get(),
                                                merge(filter, *outcome, wasTrue), timestamps));
  }
  if (!pass.save(&error)) {
    APMAudienceLog(1, logs.saveFailureCode, logs.saveFailure, {name, error});
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName, const APMParameters& parameters,
                                              const APMEventAggregates& aggregates, double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
  if (eventName.empty()) return true;
  platform::Error error;
  auto filters = database_->eventFiltersForEventName(eventName, &error);
  if (!filters) {
    APMAudienceLog(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
                   {eventName, error});
    return false;
  }
  static const EvaluationLogs kLogs{
      6001, "Unable to query filter result for audience. Event will not be evaluated. Event name, error", 6035,
      "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, "
      "dynamic",
      6003, "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error"};
  return evaluateFilters<APMEventFilterForm, APMPBEventFilter>(
      eventName, *filters, eventTimestamp, cache, kLogs,
      [&](const APMEventFilterForm& form, APMFilterMatchNotes& notes) {
        return APMMatchEventFilter(&form, eventName, parameters, aggregates, &notes);
      },
      // An event filter, once true, stays true: a later event that does not match changes nothing.
      [](const APMEventFilter&, bool outcome, bool wasTrue) { return outcome || wasTrue; });
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
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
    APMAudienceLog(2, 6039, "Could not convert user property from nano format.");
    return true;
  }
  const APMUserAttribute attribute("", APMNanoGetString(property, M::kName).value_or(""), *value,
                                   static_cast<double>(APMNanoGetInt64(property, M::kSetTimestampMillis)) / 1000.0);
  return evaluateFiltersForUserProperty(attribute, cache, evaluationTime);
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                                 std::optional<double> evaluationTimestamp) {
  const std::string& name = property.name();
  if (name.empty()) return true;
  platform::Error error;
  auto filters = database_->propertyFiltersForPropertyName(name, &error);
  if (!filters) {
    APMAudienceLog(1, 6004,
                   "Unable to query property filters for property. Property will not be evaluated. Property name, error",
                   {name, error});
    return false;
  }
  static const EvaluationLogs kLogs{
      6005, "Unable to query filter result for audience. Property will not be evaluated. Property name, error", 6036,
      "User property filter contains no data or corrupt data. User property will not be evaluated. User property name, "
      "filter ID, audience ID, dynamic",
      6007,
      "Unable to save updated Audience filter results. User property will not be evaluated. User property name, error"};
  return evaluateFilters<APMPropertyFilterForm, APMPBPropertyFilter>(
      name, *filters, evaluationTimestamp.value_or(property.lastSetTimestamp()), cache, kLogs,
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
    APMAudienceLog(2, 6023,
                   "Audience filter result is non-nil and is missing status or results array. Audience result will not "
                   "be bundled. Audience ID, result data",
                   {result->audienceID(), result->currentResults()});
    return false;
  }
  return bits.isTrue(filterID);
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
  auto data = APMPBResultData::initWithMessageInfo();
  bits.writeTo(*data);
  APMNanoSetRepeatedField(*data, APMPBResultData::kDynamicFilterTimestamps,
                          cache.dynamicTimestampsForAudienceID(audienceID));
  if (auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
    APMNanoSetRepeatedField(*data, APMPBResultData::kSequenceFilterTimestamps, *sequence);
  }
  return APMFilterResult(audienceID, data->protoBuffer(),
                         currentFilterResult ? currentFilterResult->previousResults() : platform::Data{});
}
