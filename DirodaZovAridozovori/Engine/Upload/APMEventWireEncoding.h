#pragma once
// An event's upload form (APMPBEvent) written straight into its protocol-buffer encoding, byte for
// byte what the generated encoder writes for event.copyWithPreviousTimestamp(previous)->protoEvent():
// bundling encodes every stored event, and building the message first cost more than the rest of
// bundling a plain event.

#include "APMEvent.h"
#include "platform/Object.h"

// previousTimestamp 0: the field is left out.
platform::Data APMEventUploadEncoding(const APMEvent& event, double previousTimestamp);
