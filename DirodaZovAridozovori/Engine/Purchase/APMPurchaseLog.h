#pragma once
// The log path of purchase reporting, the store receipt reader and the lifetime value recorder
// (message codes 21000s, 22000s, 39000s and 40000s). Most classification lines are verbose: a sink
// (see APMLog) is how a host's diagnostics follow why a purchase became the event it did.
#include <cstdint>
#include <string_view>
#include <utility>

#include "APMLogChannel.h"

using APMPurchaseLogSink = APMLogSink;

// Replaces the sink; nullptr restores the monitor.
void APMSetPurchaseLogSink(APMPurchaseLogSink sink);

void APMPurchaseLogContexts(int64_t level, int64_t code, std::string_view message, const APMMonitorContexts& contexts);

template <typename... Contexts>
void APMPurchaseLog(int64_t level, int64_t code, std::string_view message, Contexts&&... contexts) {
  APMPurchaseLogContexts(level, code, message, APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
}
