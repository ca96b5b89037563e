#pragma once
// The log path of one group of components: lines go to the shared APMMonitor unless a sink is
// installed. The sink sees every line, silent and verbose levels included, which is how a host's
// own diagnostics (and tests) follow exactly what the components reported.
//
// Threads: any. The sink is swapped under a mutex and called outside it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "APMMonitorContext.h"

class APMLogChannel {
 public:
  using Sink =
      std::function<void(int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts)>;

  // Replaces the sink; nullptr restores the monitor.
  void setSink(Sink sink);
  void log(int64_t level, int64_t code, std::string_view message, const APMMonitorContexts& contexts) const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Sink> sink_;  // guarded by mutex_; copied out before use
};
