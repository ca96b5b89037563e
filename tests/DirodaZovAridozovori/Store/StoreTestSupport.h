#pragma once
// Helpers shared by the store tests.

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

// Captures store log lines for the test's lifetime.
class CapturedStoreLog {
 public:
  struct Line {
    int level;
    int64_t code;
    std::string message;
  };
  CapturedStoreLog() {
    APMSetStoreLogSink([this](int level, int64_t code, const std::string& message, const APMMonitorContexts&) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, code, message});
    });
  }
  ~CapturedStoreLog() { APMSetStoreLogSink(nullptr); }
  std::vector<int64_t> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int64_t> result;
    for (const Line& line : lines_) result.push_back(line.code);
    return result;
  }
  bool contains(int64_t code) {
    for (int64_t c : codes()) {
      if (c == code) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};
