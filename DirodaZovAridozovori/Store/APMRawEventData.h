#pragma once
// One stored raw event with its row ID and the fingerprint of its metadata.

#include <cstdint>
#include <memory>

#include "APMEvent.h"

class APMRawEventData {
 public:
  APMRawEventData(std::shared_ptr<APMEvent> rawEvent, int64_t rowID, int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  const std::shared_ptr<APMEvent>& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  std::shared_ptr<APMEvent> rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};
