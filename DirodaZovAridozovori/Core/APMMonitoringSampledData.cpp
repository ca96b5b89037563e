#include "APMMonitoringSampledData.h"

#include <cmath>
#include <random>

#include "platform/Clock.h"

namespace {

enum EntryIndex { kContextIndex = 0, kPopulationIndex = 1, kKeyIndex = 2, kFirstTimeIndex = 3, kEntryCount = 4 };

uint64_t defaultRandomBelow(uint64_t bound) {
  if (bound <= 1) return 0;
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_int_distribution<uint64_t>(0, bound - 1)(engine);
}

}  // namespace

APMMonitoringSampledData::APMMonitoringSampledData(const platform::Object& array, RandomBelow random)
    : random_(random ? std::move(random) : RandomBelow(defaultRandomBelow)) {
  if (!isValidUserDefaultsArrayEntry(array)) return;
  const platform::Array& items = array.arrayValue();
  entry_ = Entry{items[kContextIndex].stringValue(), items[kPopulationIndex].integerValue(),
                 items[kKeyIndex].stringValue(), items[kFirstTimeIndex].dateValue().seconds};
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Object& entry) {
  const platform::Array* items = entry.asArray();
  return items && items->size() == kEntryCount && (*items)[kContextIndex].isString() &&
         (*items)[kPopulationIndex].isNumber() && (*items)[kKeyIndex].isString() && (*items)[kFirstTimeIndex].isDate();
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::optional<std::string>& key,
                                                                const std::optional<std::string>& encodedContext) {
  if (!key || !encodedContext) return;
  if (!entry_) {
    entry_ = Entry{*encodedContext, 1, *key, platform::now()};
    return;
  }
  entry_->population += 1;
  if (random_(static_cast<uint64_t>(entry_->population)) == 0) {
    entry_->key = *key;
    entry_->context = *encodedContext;
  }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  double now = platform::now();
  if (!entry_) {
    if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) return "0:";
    return std::nullopt;
  }
  if (!(entry_->firstTime < now - samplePeriod)) return std::nullopt;
  std::string text = monitoringURLParamWithKey(entry_->key, entry_->population, entry_->context);
  entry_.reset();
  return text;
}

platform::Object APMMonitoringSampledData::sampledData() const {
  if (!entry_) return platform::Object();
  return platform::Object(sampledDataEntryWithKey(entry_->key, entry_->firstTime, entry_->context, entry_->population));
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, int64_t population,
                                                                const std::string& context) {
  std::string text = std::to_string(population) + ":" + key;
  if (!context.empty()) text += ":" + context;
  return text;
}

platform::Array APMMonitoringSampledData::sampledDataEntryWithKey(const std::string& key, double timestamp,
                                                                  const std::string& context, int64_t population) {
  return platform::Array{platform::Object(context), platform::Object(static_cast<long long>(population)),
                         platform::Object(key), platform::Object(platform::Date{timestamp})};
}
