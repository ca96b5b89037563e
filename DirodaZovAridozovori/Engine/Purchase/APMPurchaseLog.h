#pragma once
// The log path of purchase reporting, the store receipt reader and the lifetime value recorder
// (message codes 21000s, 22000s, 39000s and 40000s).
//
// Lines go to the shared APMMonitor unless a sink is installed. The sink sees every line, silent
// and verbose levels included: most classification lines are verbose, so that is the only way a
// host's diagnostics (or a test) can follow why a purchase became the event it did.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "APMMonitorContext.h"

using APMPurchaseLogSink =
    std::function<void(int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts)>;

// Replaces the sink; nullptr restores the monitor.
void APMSetPurchaseLogSink(APMPurchaseLogSink sink);

void APMPurchaseLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts);

template <typename... Contexts>
void APMPurchaseLog(int64_t level, int64_t code, std::string_view message, Contexts&&... contexts) {
  APMPurchaseLogContexts(level, code, message, APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
}
