#pragma once
// Bundle bookkeeping of the install: indexes and the time span of the last bundle (seconds).

#include <cstdint>

class APMAppMetadata {
 public:
  int64_t lastBundleIndex = 0;
  int64_t lastDeliveryIndex = 0;
  double lastBundleStartTimestamp = 0;
  double lastBundleEndTimestamp = 0;

  void increaseLastBundleIndex(int64_t count) { lastBundleIndex += count; }
  void incrementLastDeliveryIndex() { ++lastDeliveryIndex; }

  bool operator==(const APMAppMetadata&) const = default;
};
