#pragma once
// The one path by which audience matching and evaluation report: the process-wide monitor, unless
// a test has installed a sink of its own to see exactly what was reported (many of these lines
// are at silent levels and never reach the console).

#include <cstdint>
#include <functional>
#include <string>

#include "APMMonitorContext.h"

struct APMAudienceLogEntry {
  int level = 0;
  int64_t code = 0;
  std::string message;
  APMMonitorContexts contexts;
};

using APMAudienceLogSink = std::function<void(const APMAudienceLogEntry&)>;

void APMAudienceLog(int level, int64_t code, const std::string& message, APMMonitorContexts contexts = {});
// Replaces the sink; nullptr restores the monitor. Returns the previous sink.
APMAudienceLogSink APMSetAudienceLogSink(APMAudienceLogSink sink);
