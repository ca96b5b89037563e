#include "APMMonitorConsole.h"

APMMonitorConsole::APMMonitorConsole(std::shared_ptr<APMASLLogger> logger,
                                     std::shared_ptr<platform::DispatchQueue> monitorQueue)
    : logger_(logger ? std::move(logger) : std::make_shared<APMASLLogger>()), monitorQueue_(std::move(monitorQueue)) {}

std::string APMMonitorConsole::logTag() const {
  std::lock_guard<std::mutex> lock(tagMutex_);
  return logTag_;
}

void APMMonitorConsole::setLogTag(std::string tag) {
  std::lock_guard<std::mutex> lock(tagMutex_);
  logTag_ = std::move(tag);
}

void APMMonitorConsole::logToConsole(APMLogCode messageCode, std::string message, APMLogLevel level) {
  monitorQueue_->async([this, messageCode, level, message = std::move(message), tag = logTag()] {
    logger_->logMessage(message, tag, messageCode.number(), level);
  });
}
