#pragma once
// One privacy-preserving monitoring sample: of all the monitorable messages since the sample
// began, one is kept (each with equal probability, by reservoir sampling), together with how many
// there were and when the first came. Stored as an array of exactly four entries:
// [context (string), population (number), key (string), first time (date)].
//
// Not thread-safe: the monitor touches it on its own queue only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Object.h"

class APMMonitoringSampledData {
 public:
  // A uniform random integer in [0, bound).
  using RandomBelow = std::function<uint64_t(uint64_t bound)>;

  // Accepts only an array that isValidUserDefaultsArrayEntry approves; anything else gives no entry.
  explicit APMMonitoringSampledData(const platform::Object& array = platform::Object(), RandomBelow random = nullptr);

  // Starts the sample, or counts one more message and keeps this one with probability 1/population.
  // A missing key or context changes nothing.
  void insertOrUpdateSampledDataWithKey(const std::optional<std::string>& key,
                                        const std::optional<std::string>& encodedContext);

  // The text to send once the sample is older than samplePeriod seconds, after which the sample is
  // dropped: "population:key:context" ("population:key" for an empty context). Without a sample:
  // "0:" when lastSampledTimestamp > 0 and more than samplePeriod from now, else nothing.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);

  // A copy of the sample array, or null when there is none.
  platform::Object sampledData() const;
  bool hasEntry() const { return entry_.has_value(); }

  static bool isValidUserDefaultsArrayEntry(const platform::Object& entry);
  static std::string monitoringURLParamWithKey(const std::string& key, int64_t population, const std::string& context);
  static platform::Array sampledDataEntryWithKey(const std::string& key, double timestamp, const std::string& context,
                                                 int64_t population);

 private:
  struct Entry {
    std::string context;
    int64_t population = 0;
    std::string key;
    double firstTime = 0;
  };
  std::optional<Entry> entry_;
  RandomBelow random_;
};
