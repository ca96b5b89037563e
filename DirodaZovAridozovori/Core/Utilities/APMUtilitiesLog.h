#pragma once
// The one path by which the small utilities report problems: the process-wide monitor, unless a
// test has installed a sink of its own to see exactly what was reported.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Object.h"

struct APMUtilitiesLogEntry {
  int level = 0;
  int64_t code = 0;
  std::string message;
  platform::Array contexts;
};

using APMUtilitiesLogSink = std::function<void(const APMUtilitiesLogEntry&)>;

void APMUtilitiesLog(int level, int64_t code, const std::string& message, platform::Array contexts = {});
// Replaces the sink; nullptr restores the default. Returns the previous sink.
APMUtilitiesLogSink APMSetUtilitiesLogSink(APMUtilitiesLogSink sink);
