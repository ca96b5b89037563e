#pragma once
// Turns the network client's log calls into measurement monitor lines, so requests, replies and
// transport failures show up beside the engine's own messages. The client's message codes (900000
// and up) pass through unchanged; its levels are mapped onto the monitor's.
//
// Thread-safe: the client logs from whatever thread it runs on, and the monitor takes any thread.

#include <cstdint>
#include <string>

#include "APMLogLevel.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"

// Error → sampled error, warning → sampled warning, notice → warning, info → notice, debug → debug;
// anything else → warning.
APMLogLevel APMMonitorLevelForNetworkLevel(DULLoggerLevel networkLevel);

class APMNetworkLogBridge final : public VIZUzedaruLoggerDelegate {
 public:
  void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message) override;
  void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                               const platform::Object& context) override;
  void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                               const platform::Array& contexts) override;
};
