// An audience's stored evaluation result as the database file gives it back, which may be torn or
// tampered with: the current results of three audiences (the last reported ones the same bytes,
// none, or other bytes), read by an evaluation of an event and a user property, by a bundle's
// report and by the start of a session. Whatever decodes must write back so that it reads as the
// same bits and match times, and every result the audiences store from it must decode again.
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <vector>

#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "Audience/APMAudience.h"
#include "FuzzSupport.h"
#include "platform/DispatchQueue.h"

namespace {

constexpr double kNow = 1700000000.0;
constexpr int32_t kAudienceIDs[] = {1, 2, 3};
// What the last audience reported before: other bytes than its current results.
const platform::Data kOtherReported{0x08, 0x01, 0x10, 0x01};

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

template <class Message>
void setFlags(Message& message, int32_t filterID, Flags flags) {
  APMNanoSetInt32(message, Message::kFilterId, filterID);
  if (flags.dynamic) APMNanoSetBool(message, Message::kDynamic, true);
  if (flags.sequence) APMNanoSetBool(message, Message::kSequence, true);
  if (flags.sessionScoped) APMNanoSetBool(message, Message::kSessionScoped, true);
}

std::shared_ptr<APMPBEventFilter> eventFilter(int32_t filterID, Flags flags) {
  auto message = APMPBEventFilter::initWithMessageInfo();
  setFlags(*message, filterID, flags);
  APMNanoSetString(*message, APMPBEventFilter::kEventName, std::string("level_up"));
  return message;
}

std::shared_ptr<APMPBPropertyFilter> propertyFilter(int32_t filterID, int32_t matchType, Flags flags) {
  auto text = APMPBStringFilter::initWithMessageInfo();
  APMNanoSetInt32(*text, APMPBStringFilter::kMatchType, matchType);
  APMNanoSetString(*text, APMPBStringFilter::kExpression, std::string("gold"));
  auto filter = APMPBFilter::initWithMessageInfo();
  APMNanoSetMessage(*filter, APMPBFilter::kStringFilter, text);
  auto message = APMPBPropertyFilter::initWithMessageInfo();
  setFlags(*message, filterID, flags);
  APMNanoSetString(*message, APMPBPropertyFilter::kPropertyName, std::string("tier"));
  APMNanoSetMessage(*message, APMPBPropertyFilter::kFilter, filter);
  return message;
}

// Every kind of filter, in each audience: static, sequence, dynamic and session-scoped ones.
std::vector<std::shared_ptr<APMPBAudience>> audiences() {
  constexpr int32_t kBeginsWith = 2;
  constexpr int32_t kExact = 5;
  std::vector<std::shared_ptr<APMPBAudience>> all;
  for (int32_t audienceID : kAudienceIDs) {
    auto audience = APMPBAudience::initWithMessageInfo();
    APMNanoSetInt32(*audience, APMPBAudience::kAudienceId, audienceID);
    APMNanoSetRepeatedField(*audience, APMPBAudience::kEventFilters,
                            std::vector<std::shared_ptr<APMPBEventFilter>>{
                                eventFilter(0, {}), eventFilter(1, {.sequence = true}),
                                eventFilter(2, {.dynamic = true, .sessionScoped = true})});
    APMNanoSetRepeatedField(*audience, APMPBAudience::kPropertyFilters,
                            std::vector<std::shared_ptr<APMPBPropertyFilter>>{
                                propertyFilter(3, kBeginsWith, {.dynamic = true}),
                                propertyFilter(9, kExact, {.sessionScoped = true})});
    all.push_back(std::move(audience));
  }
  return all;
}

struct Engine {
  std::shared_ptr<platform::DispatchQueue> worker = platform::DispatchQueue::create("fuzz.audience.worker");
  std::shared_ptr<APMDatabase> database;
};

Engine& engine() {
  static Engine* shared = [] {
    fuzzsupport::setUpProcess();
    auto* made = new Engine;
    auto persisted = std::make_shared<APMPersistedConfig>(fuzzsupport::dataDirectory() + "/persisted.plist");
    made->database = fuzzsupport::openDatabase(persisted, made->worker);
    made->worker->sync([made] {
      if (!APMAudience(made->database).updateAudiences(audiences())) fuzzsupport::fail("cannot store the audiences");
    });
    return made;
  }();
  return *shared;
}

// What a result's bytes say: the bits, and the match times written back the way the audiences write them.
struct Reading {
  APMFilterResultBits bits;
  std::map<int32_t, int64_t> dynamicTimes;  // by filter, the last entry's time
  std::map<int32_t, std::vector<int64_t>> sequenceTimes;  // by filter, every entry's last time
  platform::Data written;
};

using Dynamic = APMPBDynamicFilterResultTimestamp;
using Sequence = APMPBSequenceFilterResultTimestamp;

std::optional<Reading> read(const platform::Data& bytes, int32_t audienceID) {
  auto data = APMPBResultData::fromBuffer(bytes);
  if (!data) return std::nullopt;
  Reading reading{APMFilterResultBits::fromResultData(*data), {}, {}, {}};
  for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Dynamic>>(*data, APMPBResultData::kDynamicFilterTimestamps)
                               .value_or(std::vector<std::shared_ptr<Dynamic>>{})) {
    reading.dynamicTimes[APMNanoGetInt32(*entry, Dynamic::kFilterId)] = APMNanoGetInt64(*entry, Dynamic::kTimestamp);
  }
  for (const auto& entry : APMNanoGetRepeatedField<std::shared_ptr<Sequence>>(*data, APMPBResultData::kSequenceFilterTimestamps)
                               .value_or(std::vector<std::shared_ptr<Sequence>>{})) {
    auto times = APMNanoGetRepeatedField<int64_t>(*entry, Sequence::kEvalTimestamps);
    if (times && !times->empty()) reading.sequenceTimes[APMNanoGetInt32(*entry, Sequence::kFilterId)].push_back(times->back());
  }
  APMAudienceTimestampsCache cache;
  cache.populateCachedTimestamps(data.get(), audienceID);
  reading.written = APMAudience::encodedResultData(reading.bits, audienceID, cache);
  return reading;
}

// A time goes through a double on its way: beyond 2^53 seconds only to the nearest one it holds.
int64_t throughDouble(int64_t seconds) { return platform::saturatingInt64(static_cast<double>(seconds)); }

// Written back, a result reads as the same bits, each dynamic filter's time and each sequence
// filter's last times, and the form it is written in stays put after the next reading (the first
// may fold a filter's repeated entries together).
void checkWritesBack(const platform::Data& stored) {
  auto first = read(stored, 1);
  if (!first) return;
  auto second = read(first->written, 1);
  if (!second) fuzzsupport::fail("a result written back does not decode");
  if (second->bits.status != first->bits.status || second->bits.results != first->bits.results) {
    fuzzsupport::fail("a result written back reads as other bits");
  }
  if (second->dynamicTimes.size() != first->dynamicTimes.size()) fuzzsupport::fail("a result written back lost a dynamic filter");
  for (const auto& [filterID, time] : first->dynamicTimes) {
    auto found = second->dynamicTimes.find(filterID);
    if (found == second->dynamicTimes.end() || found->second != throughDouble(time)) {
      fuzzsupport::fail("a dynamic filter's time written back reads as another");
    }
  }
  for (const auto& [filterID, times] : first->sequenceTimes) {
    auto found = second->sequenceTimes.find(filterID);
    if (found == second->sequenceTimes.end()) fuzzsupport::fail("a result written back lost a sequence filter");
    // Written back, each filter's times sit in one entry, whose last is the latest.
    int64_t latest = INT64_MIN;
    for (int64_t time : times) latest = std::max(latest, throughDouble(time));
    if (found->second.back() != latest) fuzzsupport::fail("a sequence filter's last time written back reads as another");
  }
  if (second->sequenceTimes.size() != first->sequenceTimes.size()) fuzzsupport::fail("a result written back gained a sequence filter");
  auto third = read(second->written, 1);
  if (!third || third->written != second->written) fuzzsupport::fail("a result written back does not settle");
}

// The pass changes every audience (a sequence filter is evaluated whatever it was), so from then on
// what is stored, reported and left as reported alike, is what the audiences wrote themselves.
void checkStoredResultsDecode(APMDatabase& database) {
  platform::Error error;
  auto results = database.audienceFilters().allFilterResults(&error);
  if (!results) fuzzsupport::fail("the results cannot be read: " + error.description);
  for (const auto& [audienceID, result] : *results) {
    for (const platform::Data* bytes : {&result.currentResults(), &result.previousResults()}) {
      if (!bytes->empty() && !APMPBResultData::fromBuffer(*bytes)) {
        fuzzsupport::fail("audience " + std::to_string(audienceID) + " stored a result that does not decode");
      }
    }
  }
}

void runOnWorker(Engine& e, const platform::Data& stored) {
  APMDatabase& database = *e.database;
  platform::Error error;
  const std::vector<APMFilterResult> rows{{kAudienceIDs[0], stored, stored},
                                          {kAudienceIDs[1], stored, {}},
                                          {kAudienceIDs[2], stored, kOtherReported}};
  if (!database.audienceFilters().updateFilterResults(rows, &error)) {
    fuzzsupport::fail("cannot store the results: " + error.description);
  }
  auto back = database.audienceFilters().allFilterResults(&error);
  if (!back || back->size() != rows.size()) fuzzsupport::fail("stored results do not read back");
  for (const APMFilterResult& row : rows) {
    if (!(back->at(row.audienceID()) == row)) fuzzsupport::fail("a stored result reads back as another");
  }
  checkWritesBack(stored);

  APMAudience audience(e.database);
  {
    APMAudienceEvaluationPass pass;
    APMParameters parameters{{"level", APMValue(int64_t{4})}};
    if (auto event = APMEvent::create("app", true, "level_up", kNow, 0, parameters)) {
      audience.evaluateFiltersForEvent(*event, APMEventAggregates("level_up", 5, 1, 2, kNow - 60), pass);
    }
    audience.evaluateFiltersForUserProperty(APMUserAttribute("app", "tier", APMValue(std::string("gold")), kNow),
                                            pass, kNow + 1);
    if (!audience.saveEvaluationPass(pass, &error)) fuzzsupport::fail("cannot save a pass: " + error.description);
  }
  auto leaves = audience.resultsForBundling();
  if (!leaves) fuzzsupport::fail("the results cannot be bundled");
  for (const auto& leaf : *leaves) {
    if (!APMPBAudienceLeafFilterResult::fromBuffer(leaf->protoBuffer())) fuzzsupport::fail("a bundled result does not decode");
  }
  if (!audience.clearEvaluationResultsForSessionScopedFilters()) fuzzsupport::fail("session results not cleared");
  checkStoredResultsDecode(database);
  (void)APMAudience::isFilterResult(&rows[0], 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Engine& e = engine();
  const platform::Data stored = fuzzsupport::bytesOf(data, size);
  fuzzsupport::onWorkerOffMainThread(e.worker, [&] { runOnWorker(e, stored); });
  return 0;
}
