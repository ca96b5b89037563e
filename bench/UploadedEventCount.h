#pragma once
// The events of an upload batch, counted by walking its wire format instead of decoding it into
// nanopb's structs: decoding a batch of 8,000 events allocated every string and parameter and cost
// the bench's collector more CPU than building the batch cost the SDK, a limit a real collector
// would not add. Every bundle and every event is still walked field by field, so a batch whose
// framing is broken anywhere down to an event's fields is refused as decoding would refuse it.

#include <cstdint>
#include <optional>
#include <span>

#include "APMPBMessages.h"
#include "APMWireFormat.h"

namespace benchupload {

// Calls visit(tag, value) for each length-delimited field of the message (other fields are
// skipped) and refuses a field of `expectedTag` of any other wire type; false when the framing is
// broken or visit refused.
template <typename Visit>
bool walkMessage(std::span<const uint8_t> message, uint32_t expectedTag, Visit&& visit) {
  size_t position = 0;
  while (position < message.size()) {
    const auto key = APMWireReadVarint(message, position);
    if (!key) return false;
    const auto tag = static_cast<uint32_t>(*key >> 3);
    const auto wireType = static_cast<uint32_t>(*key & 7);
    if (tag == 0) return false;
    if (wireType != kAPMWireLengthDelimited) {
      if (tag == expectedTag || !APMWireSkipValue(message, position, wireType)) return false;
      continue;
    }
    const auto length = APMWireReadVarint(message, position);
    if (!length || *length > message.size() - position) return false;
    if (!visit(tag, message.subspan(position, static_cast<size_t>(*length)))) return false;
    position += static_cast<size_t>(*length);
  }
  return true;
}

inline bool wellFramed(std::span<const uint8_t> message) {
  return walkMessage(message, 0, [](uint32_t, std::span<const uint8_t>) { return true; });
}

// The events of every bundle in an encoded batch; none when the batch is not one.
inline std::optional<int64_t> uploadedEventCount(std::span<const uint8_t> batch) {
  int64_t events = 0;
  const bool walked = walkMessage(batch, apmpb_MeasurementBatch_bundles_tag, [&events](uint32_t tag, auto bundle) {
    if (tag != apmpb_MeasurementBatch_bundles_tag) return true;
    return walkMessage(bundle, apmpb_MeasurementBundle_events_tag, [&events](uint32_t field, auto event) {
      if (field != apmpb_MeasurementBundle_events_tag) return true;
      ++events;
      return wellFramed(event);
    });
  });
  if (!walked) return std::nullopt;
  return events;
}

}  // namespace benchupload
