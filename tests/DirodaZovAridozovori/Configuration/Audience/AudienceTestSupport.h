#pragma once
// Helpers shared by the audience tests: captured audience log codes and short builders of filter
// forms. Comparison and match types are written as the numbers the configuration sends.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Audience/APMAudienceLog.h"
#include "Audience/APMFilterForms.h"

// Captures the codes of audience log lines for the test's lifetime.
class CapturedAudienceLog {
 public:
  CapturedAudienceLog() {
    APMSetAudienceLogSink([this](const APMAudienceLogEntry& entry) {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back(entry);
    });
  }
  ~CapturedAudienceLog() { APMSetAudienceLogSink(nullptr); }

  std::vector<int64_t> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int64_t> codes;
    for (const auto& entry : entries_) codes.push_back(entry.code);
    return codes;
  }
  bool contains(int64_t code) {
    auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  size_t count(int64_t code) {
    auto all = codes();
    return static_cast<size_t>(std::count(all.begin(), all.end(), code));
  }
  std::vector<APMAudienceLogEntry> entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<APMAudienceLogEntry> entries_;
};

inline APMNumberFilterForm numberFilter(int32_t type, std::optional<std::string> value) {
  APMNumberFilterForm filter;
  filter.comparisonType = type;
  filter.comparisonValue = std::move(value);
  return filter;
}

inline APMNumberFilterForm betweenFilter(std::optional<std::string> min, std::optional<std::string> max) {
  APMNumberFilterForm filter;
  filter.comparisonType = 4;
  filter.minComparisonValue = std::move(min);
  filter.maxComparisonValue = std::move(max);
  return filter;
}

inline APMStringFilterForm stringFilter(int32_t type, std::optional<std::string> expression,
                                        bool caseSensitive = false, std::vector<std::string> list = {}) {
  APMStringFilterForm filter;
  filter.matchType = type;
  filter.expression = std::move(expression);
  filter.caseSensitive = caseSensitive;
  filter.expressionList = std::move(list);
  return filter;
}

inline APMFilterForm withNumber(APMNumberFilterForm number, bool complement = false,
                                std::optional<std::string> parameter = std::nullopt) {
  APMFilterForm filter;
  filter.numberFilter = std::move(number);
  filter.complement = complement;
  filter.parameterName = std::move(parameter);
  return filter;
}

inline APMFilterForm withString(APMStringFilterForm string, bool complement = false,
                                std::optional<std::string> parameter = std::nullopt) {
  APMFilterForm filter;
  filter.stringFilter = std::move(string);
  filter.complement = complement;
  filter.parameterName = std::move(parameter);
  return filter;
}

// Readable outcomes in failure messages.
inline std::string outcomeText(const std::optional<bool>& outcome) {
  return outcome ? (*outcome ? "YES" : "NO") : "none";
}
