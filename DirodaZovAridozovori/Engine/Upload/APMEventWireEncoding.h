#pragma once
// An event's upload form (APMPBEvent) written straight into its protocol-buffer encoding, byte for
// byte what the generated encoder writes for APMEventEncoding::protoEvent(*event.copyWithPreviousTimestamp(previous)):
// bundling encodes every stored event, and building the message first cost more than the rest of
// bundling a plain event.

#include <optional>
#include <span>
#include <string_view>

#include "APMEvent.h"
#include "APMEventEncoding.h"
#include "platform/Object.h"

// previousTimestamp 0: the field is left out.
platform::Data APMEventUploadEncoding(const APMEvent& event, double previousTimestamp);

// Whether bytes read as an encoded APMPBEvent the way the generated decoder reads one: whole
// fields, and each field the message knows (the parameters, their array items and what they hold,
// the name, the times) of the wire type it expects; fields it does not know are skipped. A batch
// sends the queued events as they are stored, so it checks them instead of decoding them.
bool APMEventEncodingParses(std::span<const uint8_t> bytes);
// The same check, in the same pass reading the event's name (the last one given; none when absent).
bool APMEventEncodingParses(std::span<const uint8_t> bytes, std::optional<std::string_view>& name);
// The name an encoded event carries (the last one, as decoding keeps it); none without one or when
// the bytes do not parse.
std::optional<std::string_view> APMEventEncodingName(std::span<const uint8_t> bytes);
