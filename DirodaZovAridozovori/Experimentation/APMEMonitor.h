#pragma once
// The one logging path of experimentation (codes 800000 to 880000): every line goes to the
// measurement monitor, so experimentation shares its levels, console and monitoring sample. A
// sink may take the lines instead (tests read every line there, silent levels included).

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "APMLogChannel.h"
#include "APMMonitor.h"

// Receives every line: level, message code, message, contexts.
using APMELogSink = APMLogSink;

class APMEMonitor {
 public:
  // The measurement monitor of the moment (tests replace it between runs).
  static std::shared_ptr<APMMonitor> measurementMonitor() { return APMMonitor::shared(); }
  // Replaces the destination of every line; nullptr restores the measurement monitor.
  static void setSink(APMELogSink sink) { APMSetLogSink(std::move(sink)); }

  template <typename... Contexts>
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, Contexts&&... contexts) const {
    APMLog(static_cast<APMLogLevel>(level), messageCode, message, std::forward<Contexts>(contexts)...);
  }

  // Whether a line of this level would be printed or sampled: callers check it before building
  // an expensive context (a snapshot's description) for a verbose line.
  bool wouldLog(int64_t level) const { return APMLogWouldProcess(static_cast<APMLogLevel>(level)); }

  void clearMonitoringData() const { measurementMonitor()->clearMonitoringData(); }

  // The message with its first "%@" replaced by value.
  static std::string format(std::string_view message, std::string_view value);

  // Runs block; an exception it throws is logged (level 1, with the exception) and handed back.
  static std::exception_ptr runCatching(const std::function<void()>& block, int64_t messageCode,
                                        std::string_view message);
};
