#pragma once
// The forms an event takes outside memory: the stored body of a raw-event row, the whole event in
// one column, and the upload (protocol-buffer) message.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/Object.h"

class APMEvent;
class APMPBEvent;

class APMEventEncoding {
 public:
  // The stored form of a raw-event row (origin, public flag, previous timestamp, parameters; the row
  // keeps name and timestamp in columns of their own), and back. Decoding never trusts its input:
  // truncated or malformed bytes give none.
  static platform::Data encodedBody(const APMEvent& event);
  // The same into out, replacing what it held (its room is reused).
  static void encodeBody(const APMEvent& event, platform::Data& out);
  static std::shared_ptr<APMEvent> decodeBody(const std::string& name, double timestamp, std::span<const uint8_t> body);
  // The whole event, name and timestamp included (for records that keep an event in one column).
  static platform::Data encoded(const APMEvent& event);
  static std::shared_ptr<APMEvent> decode(const platform::Data& bytes);

  // The upload form: parameters, name, and timestamps in whole milliseconds.
  static std::shared_ptr<APMPBEvent> protoEvent(const APMEvent& event);
};
