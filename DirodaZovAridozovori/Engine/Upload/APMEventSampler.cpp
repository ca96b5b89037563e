#include "APMEventSampler.h"

#include <map>
#include <random>
#include <set>

#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DirodaZovAridozovori/Engine/Upload/APMUploadLog.h"

namespace {

using Params = std::vector<std::shared_ptr<APMPBEventParam>>;

Params parametersOf(const APMPBEvent& event) {
  return APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(event, APMPBEvent::kParams).value_or(Params{});
}

const APMPBEventParam* findParameter(const Params& params, const std::string& name) {
  for (const auto& param : params) {
    if (APMNanoGetString(*param, APMPBEventParam::kName) == name) return param.get();
  }
  return nullptr;
}

// Adds name = value unless the event has it; false when the parameter could not be made.
bool addParameterIfAbsent(APMPBEvent& event, Params& params, const std::string& name, int64_t value) {
  if (findParameter(params, name)) return true;
  auto param = APMPBEventParam::initWithMessageInfo();
  if (!param || !APMNanoSetString(*param, APMPBEventParam::kName, name) ||
      !APMNanoSetInt64(*param, APMPBEventParam::kIntValue, value)) {
    return false;
  }
  params.push_back(param);
  return APMNanoSetRepeatedField(event, APMPBEvent::kParams, params);
}

}  // namespace

APMEventSampler::APMEventSampler(Settings settings, Roll roll)
    : settings_(std::move(settings)), roll_(roll ? std::move(roll) : Roll(&APMEventSampler::randomRoll)) {}

int32_t APMEventSampler::dayNumber(double seconds, int32_t offsetMinutes) {
  return static_cast<int32_t>((seconds + 60.0 * offsetMinutes) / 86400.0);
}

bool APMEventSampler::randomRoll(int64_t rate) {
  if (rate <= 1) return true;
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<int64_t> distribution(0, rate - 1);
  return distribution(generator) == 0;
}

std::optional<int64_t> APMEventSampler::samplingRateForEvent(const std::string& name) const {
  if (!settings_.samplingEnabled || !settings_.samplingRate) return std::nullopt;
  auto rate = settings_.samplingRate(name);
  if (!rate) return std::nullopt;
  if (*rate <= 1) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kInvalidSamplingRateProvided,
           "Invalid sampling rate provided");
    return std::nullopt;
  }
  return *rate;
}

std::optional<std::vector<std::shared_ptr<APMPBEvent>>> APMEventSampler::sampleEvents(
    const std::vector<std::shared_ptr<APMPBEvent>>& events, APMDatabase& database, platform::Error* error) {
  platform::Error readError;
  auto stored = database.eventAggregates().allEventAggregates(&readError);
  if (!stored) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableQueryAllEventAggregatesCache,
           "Unable to query all event aggregates for cache. error", readError);
    if (error) *error = readError;
    return std::nullopt;
  }
  std::map<std::string, APMEventAggregates> cache;
  for (const auto& aggregates : *stored) {
    if (aggregates && !aggregates->name().empty()) cache.emplace(aggregates->name(), *aggregates);
  }
  // Only the names this bundle carries can change; the rest of the table is left unread below.
  std::set<std::string> touched;
  auto cached = [&](const std::string& name) -> APMEventAggregates& {
    touched.insert(name);
    return cache.try_emplace(name, name, 0, 0, 0, 0.0).first->second;
  };

  const int32_t offset = settings_.timeZoneOffsetMinutes;
  std::vector<std::shared_ptr<APMPBEvent>> kept;
  kept.reserve(events.size());
  for (const auto& event : events) {
    auto name = APMNanoGetString(*event, APMPBEvent::kName);
    if (!name || name->empty()) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kDroppingEventSampling,
             "Dropping event at sampling. Event has no name");
      continue;
    }
    const double seconds = static_cast<double>(APMNanoGetInt64(*event, APMPBEvent::kTimestampMillis)) / 1000.0;
    const int32_t day = dayNumber(seconds, offset);
    auto rate = samplingRateForEvent(*name);
    if (!rate) {
      APMEventAggregates& state = cached(*name);
      state.setLastBundledTimestamp(seconds);
      state.setLastBundledDay(day);
      kept.push_back(event);
      continue;
    }
    APMEventAggregates& state = cached(*name);
    auto params = parametersOf(*event);
    if (roll_(*rate)) {
      state.setLastSamplingRate(*rate);
      state.setLastSampledComplexEventID(std::nullopt);
      state.setLastBundledTimestamp(seconds);
      state.setLastBundledDay(day);
      if (!addParameterIfAbsent(*event, params, "_sr", *rate)) {
        APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kFailedCreateSamplingRateParameter,
               "Failed to create sampling rate parameter");
      }
      kept.push_back(event);
      continue;
    }
    int32_t lastDay = state.lastBundledDay();
    if (lastDay == 0) {
      const double previous =
          static_cast<double>(APMNanoGetInt64(*event, APMPBEvent::kPreviousTimestampMillis)) / 1000.0;
      lastDay = dayNumber(previous, offset);
    }
    state.setLastSamplingRate(*rate);
    if (lastDay != day) {
      state.setLastBundledTimestamp(seconds);
      state.setLastBundledDay(day);
      if (!addParameterIfAbsent(*event, params, "_sr", *rate)) {
        APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kFailedCreateSamplingRateParameter,
               "Failed to create sampling rate parameter");
      }
      if (!addParameterIfAbsent(*event, params, "_efs", 1)) {
        APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kFailedCreateExemptSamplingParameter,
               "Failed to create exempt from sampling parameter");
      }
      state.setLastExemptFromSampling(true);
      kept.push_back(event);
      continue;
    }
    if (const APMPBEventParam* complexID = findParameter(params, "_eid")) {
      state.setLastSampledComplexEventID(APMNanoGetInt64(*complexID, APMPBEventParam::kIntValue));
    }
  }

  for (const std::string& name : touched) {
    const APMEventAggregates& state = cache.at(name);
    platform::Error queryError;
    auto row = database.eventAggregates().eventAggregatesWithName(name, &queryError);
    if (!row && !queryError.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableQueryEventAggregatesUpdateDatabase,
             "Unable to query event aggregates to update database. Name, error", name, queryError);
      if (error) *error = queryError;
      return std::nullopt;
    }
    const APMEventAggregates original = row ? *row : APMEventAggregates(name, 0, 0, 0, 0);
    APMEventAggregates updated = original;
    if (state.lastBundledTimestamp() != 0) updated.setLastBundledTimestamp(state.lastBundledTimestamp());
    updated.setLastSamplingRate(state.lastSamplingRate());
    updated.setLastSampledComplexEventID(state.lastSampledComplexEventID());
    updated.setLastExemptFromSampling(state.lastExemptFromSampling());
    updated.setLastBundledDay(state.lastBundledDay());
    if (row && updated == original) continue;  // untouched by this bundle
    platform::Error updateError;
    if (!database.eventAggregates().updateEventAggregates(updated, &updateError)) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedUpdateEventAggregatesAfterRemoving,
             "Failed to update event aggregates after removing removing events due to sampling. Error", updateError);
      if (error) *error = updateError;
      return std::nullopt;
    }
  }
  return kept;
}
