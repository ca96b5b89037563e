#pragma once
// Event sampling at bundling time: of the events of a name that the configuration samples at rate
// r, about one in r travels, marked "_sr" = r; the first event of a name on a new day always
// travels, marked "_efs" = 1 as well, so each day keeps at least one. The per-name state lives in
// the event aggregates rows, so it carries over from bundle to bundle.
//
// Worker queue, inside the bundling transaction.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

class APMDatabase;
class APMPBEvent;

class APMEventSampler {
 public:
  struct Settings {
    bool samplingEnabled = false;
    // The configured rate of a name (2..65535, or 1 for an unusable one); none when the name has none.
    std::function<std::optional<int32_t>(const std::string& name)> samplingRate;
    // The analytics account's time zone, which sampling days are counted in.
    int32_t timeZoneOffsetMinutes = 0;
  };
  // YES with probability 1/rate.
  using Roll = std::function<bool(int64_t rate)>;

  explicit APMEventSampler(Settings settings, Roll roll = nullptr);

  // The rate to sample the name at, or none when its events all travel (a rate of 1 or below is
  // logged as invalid).
  std::optional<int64_t> samplingRateForEvent(const std::string& name) const;

  // The kept events in input order; none with *error when the aggregates cannot be read or
  // written (the caller's transaction then rolls back).
  std::optional<std::vector<std::shared_ptr<APMPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<APMPBEvent>>& events, APMDatabase& database, platform::Error* error);

  // Day number of a time in seconds, in a zone offsetMinutes east of UTC (truncated toward zero).
  static int32_t dayNumber(double seconds, int32_t offsetMinutes);
  // The default roll: a uniform random integer below rate is 0.
  static bool randomRoll(int64_t rate);

 private:
  Settings settings_;
  Roll roll_;
};
