#pragma once
// The monitor's printed side: how a line is written (its tag, whether contexts print as their
// encoded shape) and the hand-off of finished lines to the sink on the monitor queue, so that
// lines from every thread reach the logger in the order they were logged.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "APMASLLogger.h"
#include "APMLogCode.h"
#include "APMLogLevel.h"
#include "platform/DispatchQueue.h"

class APMMonitorConsole {
 public:
  static constexpr const char* kDefaultLogTag = "<ZovAridozovori>";

  // A missing logger is replaced by a new APMASLLogger.
  APMMonitorConsole(std::shared_ptr<APMASLLogger> logger, std::shared_ptr<platform::DispatchQueue> monitorQueue);

  bool encodeContexts() const { return encodeContexts_; }
  void setEncodeContexts(bool encode) { encodeContexts_ = encode; }
  std::string logTag() const;
  void setLogTag(std::string tag);

  // Queues the finished text for the sink, with the tag as it is now. The owner of the monitor
  // queue drains it before this console goes away.
  void logToConsole(APMLogCode messageCode, std::string message, APMLogLevel level);

 private:
  std::shared_ptr<APMASLLogger> logger_;
  std::shared_ptr<platform::DispatchQueue> monitorQueue_;
  std::atomic<bool> encodeContexts_{false};
  mutable std::mutex tagMutex_;  // guards logTag_
  std::string logTag_ = kDefaultLogTag;
};
