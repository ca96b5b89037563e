#pragma once
// Captures every line the measurement components log through APMLog while it lives (the sink sees
// silent and verbose levels too), then puts back the sink it replaced.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMLogChannel.h"

namespace testsupport {

struct APMLoggedLine {
  int64_t level = 0;
  int64_t code = 0;
  std::string message;
  APMMonitorContexts contexts;
};

class APMLogCapture {
 public:
  APMLogCapture() {
    previous_ = APMSetLogSink(
        [this](int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back({level, code, message, contexts});
        });
  }
  ~APMLogCapture() { APMSetLogSink(previous_); }
  APMLogCapture(const APMLogCapture&) = delete;
  APMLogCapture& operator=(const APMLogCapture&) = delete;

  std::vector<APMLoggedLine> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<APMLoggedLine> entries() { return lines(); }
  std::vector<int64_t> codes() {
    std::vector<int64_t> codes;
    for (const auto& line : lines()) codes.push_back(line.code);
    return codes;
  }
  bool contains(int64_t code) { return count(code) > 0; }
  size_t count(int64_t code) {
    auto all = codes();
    return static_cast<size_t>(std::count(all.begin(), all.end(), code));
  }
  std::optional<APMLoggedLine> find(int64_t code) {
    for (auto& line : lines()) {
      if (line.code == code) return line;
    }
    return std::nullopt;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<APMLoggedLine> lines_;
  APMLogSink previous_;
};

}  // namespace testsupport
