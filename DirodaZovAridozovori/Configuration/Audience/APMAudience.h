#pragma once
// Audience evaluation. The configuration's audiences are stored as event and property filters;
// as events are bundled and user properties seen, every filter of their name is matched and the
// audience's two bits per filter (evaluated, true) are kept in the measurement database, together
// with the times at which dynamic and sequence filters last matched. Every bundle reports the
// stored bits of every audience.
//
// Filters answer YES, NO or not evaluable; not evaluable leaves the stored bits as they were.
// Rules by kind: a static filter that became true is never evaluated again; an event filter, once
// true, stays true; a dynamic property filter is cleared when its property stops matching; a
// session-scoped filter keeps its bit until a session start clears it.
//
// Holds its database and the filters it decoded (kept while the stored filters stay the same);
// worker queue only, inside the engine's database work.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "APMAudienceEvaluationPass.h"
#include "APMAudienceFilters.h"
#include "APMAudienceLog.h"
#include "APMAudienceTimestampsCache.h"
#include "APMEvent.h"
#include "APMEventAggregates.h"
#include "APMFilterForms.h"
#include "APMFilterResultBits.h"
#include "APMUserAttribute.h"
#include "APMValue.h"
#include "platform/Error.h"

class APMDatabase;
class APMRemoteConfig;
class APMPBAudience;
class APMPBAudienceLeafFilterResult;
class APMPBUserAttribute;

// The configuration's audience limits.
struct APMAudienceLimits {
  int32_t maxAudienceCount = 0;
  int32_t maxFiltersPerAudience = 0;
  int32_t maxFilterResultCount = 0;
  int32_t maxParametersPerFilter = 0;

  // The configuration's values; the settings' defaults without one.
  static APMAudienceLimits fromRemoteConfig(APMRemoteConfig* config);
};

class APMAudience {
 public:
  // Error codes of an audience refused by updateAudiences.
  static constexpr int64_t kAudienceErrorCode = 9;
  static constexpr int64_t kEventFilterErrorCode = 10;
  static constexpr int64_t kPropertyFilterErrorCode = 11;

  // remoteConfig gives the configuration whose limits apply (read at each update).
  explicit APMAudience(std::shared_ptr<APMDatabase> database,
                       std::function<std::shared_ptr<APMRemoteConfig>()> remoteConfig = {});

  // Replaces the stored filters with those of the valid audiences (renamed to internal names).
  // YES also when the configuration has too many audiences (nothing is changed then); NO when the
  // database failed, and the caller's transaction should roll back.
  bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  // Deletes the results of audiences gone from both the stored and the new filters, once there
  // are more results than the configuration allows.
  bool maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs);
  // The reason an audience is refused (code 9, 10 or 11), or none for a valid one.
  static std::optional<platform::Error> validationError(const APMPBAudience& audience,
                                                        const std::set<int32_t>& acceptedAudienceIDs,
                                                        const APMAudienceLimits& limits);

  // Matches the event against the filters of its name and stores the changed results; NO when the
  // database failed. A cache shared by the calls of one bundle keeps the match times of the whole
  // pass.
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                               APMAudienceTimestampsCache* cache);
  bool evaluateFiltersForEventName(const std::string& eventName, const APMParameters& parameters,
                                   const APMEventAggregates& aggregates, double eventTimestamp,
                                   APMAudienceTimestampsCache* cache);
  // A bundle's user property; the match time is evaluationTime, else the property's set time. A
  // property message without a value is logged and left out (YES).
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMAudienceTimestampsCache* cache,
                                          std::optional<double> evaluationTime);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                      std::optional<double> evaluationTimestamp);

  // The same within a pass: the changed results stay in the pass until it is saved.
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                               APMAudienceEvaluationPass& pass);
  bool evaluateFiltersForEventName(const std::string& eventName, const APMParameters& parameters,
                                   const APMEventAggregates& aggregates, double eventTimestamp,
                                   APMAudienceEvaluationPass& pass);
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMAudienceEvaluationPass& pass,
                                          std::optional<double> evaluationTime);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceEvaluationPass& pass,
                                      std::optional<double> evaluationTimestamp);
  // Stores the results the pass changed.
  bool saveEvaluationPass(APMAudienceEvaluationPass& pass, platform::Error* error);

  // One leaf per audience with any evaluated filter, for the bundle (the bundle's pass, when given,
  // is saved first); the reported data becomes each audience's previous data. None when the
  // database failed.
  std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> resultsForBundling(
      APMAudienceEvaluationPass* pass = nullptr);
  // A new session: the bits and times of session-scoped filters are forgotten.
  bool clearEvaluationResultsForSessionScopedFilters();

  // Both bits of the filter are set in the result's current data.
  static bool isFilterResult(const APMFilterResult* result, int32_t filterID);
  // The result with the filter's bits set to newEvaluationResult and the pass's times of the
  // audience; the previous data is kept.
  // A result's current data: the bits with the audience's match times of the cache.
  static platform::Data encodedResultData(const APMFilterResultBits& bits, int32_t audienceID,
                                          const APMAudienceTimestampsCache& cache);
  static APMFilterResult updatedFilterResultWithFilterID(int32_t filterID, int32_t audienceID,
                                                         const APMFilterResult* currentFilterResult,
                                                         bool newEvaluationResult,
                                                         const APMAudienceTimestampsCache& cache);

 private:
  // A stored filter with its decoded message (none when the row holds no usable filter).
  template <class Filter, class Form>
  struct Prepared {
    Filter filter;
    std::optional<Form> form;
  };
  using EventFilters = std::vector<Prepared<APMEventFilter, APMEventFilterForm>>;
  using PropertyFilters = std::vector<Prepared<APMPropertyFilter, APMPropertyFilterForm>>;

  // The codes and texts of one kind of filter's failures.
  struct EvaluationLogs {
    APMAudienceLogCode readFailureCode;
    const char* readFailure;
    APMAudienceLogCode corruptCode;
    const char* corrupt;
  };

  // Matches each filter whose bits may still change and sets them to the answer merged with the
  // stored bit.
  template <class Filter, class Form, class Match, class Merge>
  bool evaluateFilters(const std::string& name,
                       const std::vector<Prepared<Filter, Form>>& filters,
                       double timestamp, APMAudienceEvaluationPass& pass, const EvaluationLogs& logs, Match match,
                       Merge merge);
  // The pass's result of the audience, read when needed; nullptr when the database failed.
  APMAudienceEvaluationPass::Result* resultOf(int32_t audienceID, APMAudienceEvaluationPass& pass,
                                              platform::Error* error);
  // Whether both bits of the filter are set in the pass's result.
  bool isTrue(APMAudienceEvaluationPass::Result& result, int32_t audienceID, int32_t filterID);

  // The filters of a name (nullptr when the database failed), read and decoded once while the
  // stored filters stay the same: every event of a bundle asks for them.
  const EventFilters* eventFiltersNamed(const std::string& name);
  const PropertyFilters* propertyFiltersNamed(const std::string& name);
  void forgetFiltersWhenChanged();

  APMAudienceLimits limits() const;
  // Logs a regular expression that could not finish, once per filter.
  void reportRegexFailure(int32_t audienceID, int32_t filterID);

  std::shared_ptr<APMDatabase> database_;
  std::function<std::shared_ptr<APMRemoteConfig>()> remoteConfig_;
  std::set<std::pair<int32_t, int32_t>> reportedRegexFailures_;
  uint64_t filtersVersion_ = 0;
  std::map<std::string, EventFilters> eventFilters_;
  std::map<std::string, PropertyFilters> propertyFilters_;
};
