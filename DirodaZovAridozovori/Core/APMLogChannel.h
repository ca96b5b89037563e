#pragma once
// The one log path of the measurement components: every line goes to the process's APMMonitor,
// unless a sink is installed. The sink sees every line, silent and verbose levels included, which
// is how a host's own diagnostics (and tests) follow exactly what the components reported.
//
//   APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseOpenFailed, "Unable to open database. Path, error",
//          path, error);
//
// Threads: any. The sink is swapped under a mutex and called outside it; while none is installed a
// line costs one atomic load before the monitor's own level check.
#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "APMLogCode.h"
#include "APMLogLevel.h"
#include "APMMonitor.h"
#include "APMMonitorContext.h"

// What a sink receives: the level's and the code's numbers, the message and the contexts.
using APMLogSink =
    std::function<void(int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts)>;

// Replaces the sink (nullptr restores the monitor); returns the sink it replaced.
APMLogSink APMSetLogSink(APMLogSink sink);
bool APMHasLogSink();

void APMLogContexts(APMLogLevel level, APMLogCode code, std::string_view message, const APMMonitorContexts& contexts);

template <typename... Contexts>
  requires(!(std::same_as<std::remove_cvref_t<Contexts>, APMMonitorContexts> || ...))
void APMLog(APMLogLevel level, APMLogCode code, std::string_view message, Contexts&&... contexts) {
  if (!APMHasLogSink()) {
    // The monitor checks the level before it converts any context.
    APMMonitor::shared()->logWithLevel(level, code, message, std::forward<Contexts>(contexts)...);
    return;
  }
  APMLogContexts(level, code, message, APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
}

inline void APMLog(APMLogLevel level, APMLogCode code, std::string_view message, const APMMonitorContexts& contexts) {
  APMLogContexts(level, code, message, contexts);
}

// Whether a line of this level would reach the sink or be printed or sampled: a caller asks before
// it builds an expensive context.
bool APMLogWouldProcess(APMLogLevel level);
