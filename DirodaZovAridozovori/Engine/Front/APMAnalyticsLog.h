#pragma once
// The log path of the engine front and the public API (message codes 25000 and up).
//
// Lines go to the shared APMMonitor unless a sink is installed; the sink sees every line, silent
// levels included, which is how the host's own diagnostics (and tests) follow what the front did.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "APMMonitorContext.h"

using APMAnalyticsLogSink =
    std::function<void(int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts)>;

// Replaces the sink; nullptr restores the monitor.
void APMSetAnalyticsLogSink(APMAnalyticsLogSink sink);

void APMAnalyticsLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts);

template <typename... Contexts>
void APMAnalyticsLog(int64_t level, int64_t code, std::string_view message, Contexts&&... contexts) {
  APMAnalyticsLogContexts(level, code, message, APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
}
