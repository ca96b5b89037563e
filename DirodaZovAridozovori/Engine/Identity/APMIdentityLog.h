#pragma once
// The one path by which identity components report. Messages go to the SDK's monitor; tests
// install a sink of their own to see exactly what was reported.

#include <cstdint>
#include <functional>
#include <string>

struct APMIdentityLogEntry {
  int level = 0;
  int64_t code = 0;
  std::string message;
};

using APMIdentityLogSink = std::function<void(const APMIdentityLogEntry&)>;

void APMIdentityLog(int level, int64_t code, const std::string& message);
// Replaces the sink; nullptr restores the monitor. Returns the previous sink.
APMIdentityLogSink APMSetIdentityLogSink(APMIdentityLogSink sink);
