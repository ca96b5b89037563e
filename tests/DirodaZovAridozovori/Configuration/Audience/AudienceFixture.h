#pragma once
// An audience evaluator over a fresh measurement database on its worker queue, with readers of
// what it stored.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../../Store/StoreTestSupport.h"
#include "AudienceTestSupport.h"
#include "Audience/APMAudience.h"

// The stored data of one audience, decoded.
struct StoredResult {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;
  std::map<int32_t, int64_t> dynamicTimes;
  std::map<int32_t, std::vector<int64_t>> sequenceTimes;
};

inline StoredResult decodeResult(const platform::Data& bytes) {
  StoredResult stored;
  auto data = APMPBResultData::fromBuffer(bytes);
  if (!data) return stored;
  stored.status = APMNanoGetRepeatedField<uint64_t>(*data, APMPBResultData::kStatus).value_or(std::vector<uint64_t>{});
  stored.results = APMNanoGetRepeatedField<uint64_t>(*data, APMPBResultData::kResults).value_or(std::vector<uint64_t>{});
  using Dynamic = APMPBDynamicFilterResultTimestamp;
  using Sequence = APMPBSequenceFilterResultTimestamp;
  for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Dynamic>>(*data, APMPBResultData::kDynamicFilterTimestamps)
                               .value_or(std::vector<std::shared_ptr<Dynamic>>{})) {
    stored.dynamicTimes[APMNanoGetInt32(*entry, Dynamic::kFilterId)] = APMNanoGetInt64(*entry, Dynamic::kTimestamp);
  }
  for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Sequence>>(*data, APMPBResultData::kSequenceFilterTimestamps)
                               .value_or(std::vector<std::shared_ptr<Sequence>>{})) {
    stored.sequenceTimes[APMNanoGetInt32(*entry, Sequence::kFilterId)] =
        APMNanoGetRepeatedField<int64_t>(*entry, Sequence::kEvalTimestamps).value_or(std::vector<int64_t>{});
  }
  return stored;
}

inline platform::Data encodedResult(const std::vector<uint64_t>& status, const std::vector<uint64_t>& results) {
  auto data = APMPBResultData::initWithMessageInfo();
  APMNanoSetRepeatedField(*data, APMPBResultData::kStatus, status);
  APMNanoSetRepeatedField(*data, APMPBResultData::kResults, results);
  return data->protoBuffer();
}

class AudienceTest : public APMDatabaseFixture {
 public:
  // Table rows of the tests act on the fixture.
  using APMDatabaseFixture::db_;
  using APMDatabaseFixture::e;
  using APMDatabaseFixture::onWorker;

  void SetUp() override {
    APMDatabaseFixture::SetUp();
    audience_ = std::make_shared<APMAudience>(db_);
  }
  void TearDown() override {
    onWorker([&] { audience_.reset(); });
    APMDatabaseFixture::TearDown();
  }

  bool update(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
    bool ok = false;
    onWorker([&] { ok = audience_->updateAudiences(audiences); });
    return ok;
  }

  bool logEvent(const std::string& name, const APMParameters& parameters, double timestamp,
                APMAudienceTimestampsCache* cache = nullptr, int64_t lifetimeCount = 1) {
    bool ok = false;
    onWorker([&] {
      ok = audience_->evaluateFiltersForEventName(name, parameters, APMEventAggregates(name, lifetimeCount, 1, 1, 0),
                                                  timestamp, cache);
    });
    return ok;
  }

  bool setProperty(const std::string& name, APMValue value, double setTime,
                   std::optional<double> evaluationTime = std::nullopt, APMAudienceTimestampsCache* cache = nullptr) {
    bool ok = false;
    onWorker([&] {
      ok = audience_->evaluateFiltersForUserProperty(APMUserAttribute("app", name, std::move(value), setTime), cache,
                                                     evaluationTime);
    });
    return ok;
  }

  std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> bundle() {
    std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> leaves;
    onWorker([&] { leaves = audience_->resultsForBundling(); });
    return leaves;
  }

  bool clearSessionScoped() {
    bool ok = false;
    onWorker([&] { ok = audience_->clearEvaluationResultsForSessionScopedFilters(); });
    return ok;
  }

  std::map<int32_t, APMFilterResult> storedResults() {
    std::map<int32_t, APMFilterResult> results;
    onWorker(
        [&] { results = db_->audienceFilters().allFilterResults(&e).value_or(std::map<int32_t, APMFilterResult>{}); });
    return results;
  }

  // The audience's stored data (empty, and the test failed, when it has none).
  StoredResult stored(int32_t audienceID) {
    auto results = storedResults();
    auto found = results.find(audienceID);
    if (found == results.end()) {
      ADD_FAILURE() << "no stored result for audience " << audienceID;
      return {};
    }
    return decodeResult(found->second.currentResults());
  }

  void storeResult(int32_t audienceID, platform::Data current, platform::Data previous = {}) {
    onWorker([&] {
      ASSERT_TRUE(db_->audienceFilters().updateFilterResults({APMFilterResult(audienceID, current, previous)}, &e));
    });
  }

  std::vector<APMEventFilter> eventFiltersNamed(const std::string& name) {
    std::vector<APMEventFilter> filters;
    onWorker([&] { filters = db_->audienceFilters().eventFiltersForEventName(name, &e).value_or(filters); });
    return filters;
  }

  std::shared_ptr<APMAudience> audience_;
  CapturedAudienceLog log_;
};
