#pragma once
// A fresh process for every test of the measurement core: its own data directory, launch
// arguments, logger, defaults and monitor, with every written log line captured.

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "APMMonitor.h"
#include "Logger/DULLogger.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace platform {
// Readable values in failure messages.
inline void PrintTo(const Object& value, std::ostream* out) { *out << value.description(); }
}  // namespace platform

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override { restart({"app"}); }

  void TearDown() override {
    APMMonitor::resetSharedForTesting();
    DULLoggerSetSink(nullptr);
    DULLoggerResetForTesting();
    platform::UserDefaultsRegistry::resetForTesting();
    platform::ProcessInfo::setArguments({});
    platform::ClassRegistry::reset();
    platform::Bundle::reset();
  }

  // Ends the current "process" (pending work is written) and starts a new one with these launch
  // arguments; the data directory stays.
  void restart(std::vector<std::string> arguments) {
    APMMonitor::resetSharedForTesting();
    DULLoggerResetForTesting();
    platform::UserDefaultsRegistry::resetForTesting();
    platform::ProcessInfo::setArguments(std::move(arguments));
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(record.line);
    });
    clearLines();
  }

  // Every line written so far, once the monitor and the logger have caught up.
  std::vector<std::string> lines() {
    APMMonitor::shared()->flush();
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void clearLines() {
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  static std::string line(int64_t code, const std::string& text) {
    return "11.15.0 - <ZovAridozovori>[" + APMASLLogger::messageCodeText(code) + "] " + text;
  }

  testsupport::ScopedDataDirectory data_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};
