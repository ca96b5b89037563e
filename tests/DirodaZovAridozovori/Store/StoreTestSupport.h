#pragma once
// Helpers shared by the store tests.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "APMStoreLog.h"

// The unit written count times over.
inline std::string repeat(const std::string& unit, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += unit;
  return text;
}

// Captures the codes of store log lines for the test's lifetime.
class CapturedStoreLog {
 public:
  CapturedStoreLog() {
    APMSetStoreLogSink([this](int, int64_t code, const std::string&, const APMMonitorContexts&) {
      std::lock_guard<std::mutex> lock(mutex_);
      codes_.push_back(code);
    });
  }
  ~CapturedStoreLog() { APMSetStoreLogSink(nullptr); }
  bool contains(int64_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
  }

 private:
  std::mutex mutex_;
  std::vector<int64_t> codes_;
};
