#pragma once
// Bundle bookkeeping of the install: indexes and the time span of the last bundle (seconds).

#include <cstdint>
#include <limits>

class APMAppMetadata {
 public:
  int64_t lastBundleIndex = 0;
  int64_t lastDeliveryIndex = 0;
  double lastBundleStartTimestamp = 0;
  double lastBundleEndTimestamp = 0;

  // The indexes come back from the database file: one a damaged file holds near the top of the
  // range stops there rather than overflowing. count is a bundle's event count.
  void increaseLastBundleIndex(int64_t count) {
    constexpr int64_t kTop = std::numeric_limits<int64_t>::max();
    if (count <= 0) return;
    lastBundleIndex = lastBundleIndex <= kTop - count ? lastBundleIndex + count : kTop;
  }
  void incrementLastDeliveryIndex() {
    if (lastDeliveryIndex < std::numeric_limits<int64_t>::max()) ++lastDeliveryIndex;
  }

  bool operator==(const APMAppMetadata&) const = default;
};
