#pragma once
// The running counts of one event name, and the sampling state of its last bundle.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

class APMEventAggregates {
 public:
  APMEventAggregates(std::string name, int64_t lifetimeCount, int64_t currentBundleCount, int64_t currentSessionCount,
                     double lastFireTimestamp)
      : name_(std::move(name)),
        lifetimeCount_(lifetimeCount),
        currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount),
        lastFireTimestamp_(lastFireTimestamp) {}

  const std::string& name() const { return name_; }
  int64_t lifetimeCount() const { return lifetimeCount_; }
  void setLifetimeCount(int64_t count) { lifetimeCount_ = count; }
  int64_t currentBundleCount() const { return currentBundleCount_; }
  void setCurrentBundleCount(int64_t count) { currentBundleCount_ = count; }
  int64_t currentSessionCount() const { return currentSessionCount_; }
  void setCurrentSessionCount(int64_t count) { currentSessionCount_ = count; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }

  // The counts come back from the database file: one a damaged file holds at the top of the range
  // stays there rather than overflowing.
  void incrementLifetimeCount() { lifetimeCount_ = incremented(lifetimeCount_); }
  void incrementCurrentBundleCount() { currentBundleCount_ = incremented(currentBundleCount_); }
  void incrementCurrentSessionCount() { currentSessionCount_ = incremented(currentSessionCount_); }

  // Sampling state.
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }
  int64_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(int64_t rate) { lastSamplingRate_ = rate; }
  const std::optional<int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  void setLastSampledComplexEventID(std::optional<int64_t> id) { lastSampledComplexEventID_ = id; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }

  bool operator==(const APMEventAggregates&) const = default;

 private:
  static int64_t incremented(int64_t count) {
    return count < std::numeric_limits<int64_t>::max() ? count + 1 : count;
  }

  std::string name_;
  int64_t lifetimeCount_;
  int64_t currentBundleCount_;
  int64_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  int32_t lastBundledDay_ = 0;
  int64_t lastSamplingRate_ = 0;
  std::optional<int64_t> lastSampledComplexEventID_;
  bool lastExemptFromSampling_ = false;
};
