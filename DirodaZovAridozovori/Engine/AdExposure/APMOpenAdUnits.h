#pragma once
// The ad units open at once, how many begins each still waits an end for, and when the slice of
// each unit and of any ad at all started. Times are seconds of the monotonic clock; a slice that
// started at an unknown time cannot be measured. Not guarded: its owner keeps it on one queue.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

class APMOpenAdUnits {
 public:
  // Distinct ad units open at once.
  static constexpr size_t kMaxOpenAdUnits = 100;
  // What currentTime answers when the clock cannot be read.
  static constexpr double kUnknownTime = -1.0;

  // Seconds of the monotonic clock, or kUnknownTime when it cannot be read.
  static double currentTime();
  // The whole milliseconds between two readings; none when either reading failed.
  static std::optional<int64_t> exposureMillis(double startTime, double endTime);

  APMOpenAdUnits() : adExposureStartTime_(currentTime()) {}

  // One more begin of the unit at the given time; past the limit a new unit is refused (and said).
  void begin(const std::string& adUnitID, double time);
  bool contains(const std::string& adUnitID) const { return adUnitCounts_.count(adUnitID) != 0; }
  // Takes one begin off a unit begun more than once; false when its last begin is the one to end.
  bool endOneOfSeveral(const std::string& adUnitID);
  void close(const std::string& adUnitID);
  // The open units, each with the begins it still waits an end for.
  const std::map<std::string, int64_t>& counts() const { return adUnitCounts_; }

  // When the unit's slice started; kUnknownTime for a unit not open.
  double startTimeOf(const std::string& adUnitID) const;
  double adExposureStartTime() const { return adExposureStartTime_; }
  void setAdExposureStartTime(double time) { adExposureStartTime_ = time; }
  // Restarts every slice, when any unit is open.
  void updateStartTimes(double time);

 private:
  std::map<std::string, int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = kUnknownTime;
};
