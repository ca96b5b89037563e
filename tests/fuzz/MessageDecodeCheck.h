#pragma once
// One decoding check shared by the libFuzzer target and the deterministic corpus test: the bytes
// that arrive from the network (configuration, programs, experiment replies) are decoded as each
// of those messages. Whatever decodes must survive a copy, re-encode, decode back to an equal
// message and release cleanly; the sanitizers catch the rest (overflows, leaks, UB).

#include <cstddef>
#include <cstdint>
#include <string>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace fuzzcheck {

// Empty when the bytes were handled soundly, else what went wrong.
template <class Message>
std::string checkDecoding(const uint8_t* data, size_t size) {
  auto message = Message::fromBuffer(data, size);
  if (!message) {
    return {};
  }
  const platform::Data encoded = message->protoBuffer();
  auto again = Message::fromBuffer(encoded);
  if (!again) {
    return std::string(Message::messageInfo().className) + ": re-encoding does not decode";
  }
  if (!again->isEqual(*message) || again->protoBuffer() != encoded) {
    return std::string(Message::messageInfo().className) + ": re-encoding is not stable";
  }
  auto copy = message->copy();
  if (!copy->isEqual(*message)) {
    return std::string(Message::messageInfo().className) + ": copy differs";
  }
  const auto& info = Message::messageInfo();
  for (int index = 0; index < static_cast<int>(info.fieldCount); ++index) {
    // Readers of every kind on every field: mismatched kinds must answer neutrally.
    (void)APMNanoHasField(*copy, index);
    (void)APMNanoGetInt64(*copy, index);
    (void)APMNanoGetDouble(*copy, index);
    (void)APMNanoGetString(*copy, index);
    (void)APMNanoGetRepeatedField<int64_t>(*copy, index);
    (void)APMNanoGetRepeatedField<std::string>(*copy, index);
    APMNanoClearField(*copy, index);
  }
  if (!copy->protoBuffer().empty()) {
    return std::string(info.className) + ": clearing every field leaves data";
  }
  return {};
}

inline std::string checkNetworkMessages(const uint8_t* data, size_t size) {
  std::string problem = checkDecoding<APMPBMeasurementConfig>(data, size);
  if (problem.empty()) {
    problem = checkDecoding<APMPBProgram>(data, size);
  }
  if (problem.empty()) {
    problem = checkDecoding<APMPBExperimentResponse>(data, size);
  }
  return problem;
}

}  // namespace fuzzcheck
