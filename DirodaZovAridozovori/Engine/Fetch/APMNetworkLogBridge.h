#pragma once
// Turns the network client's log calls into measurement monitor lines, so requests, replies and
// transport failures show up beside the engine's own messages. The client's message codes (900000
// and up) pass through unchanged; its levels are mapped onto the monitor's.
//
// Thread-safe: the client logs from whatever thread it runs on, and the monitor takes any thread.

#include <cstdint>
#include <string>

#include "DirodaUtilities/Network/VIZUzedaru.h"

// 3 → 1, 4 → 4, 5 → 3, 6 → 6, 7 → 7, anything else → 3.
int64_t APMMonitorLevelForNetworkLevel(int networkLevel);

class APMNetworkLogBridge final : public VIZUzedaruLoggerDelegate {
 public:
  void VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message) override;
  void VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message,
                               const platform::Object& context) override;
  void VIZUzedaru_logWithLevel(int level, int64_t messageCode, const std::string& message,
                               const platform::Array& contexts) override;
};
