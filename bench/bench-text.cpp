// Text-layer speed: UTF-8 to UTF-16 conversion throughput, a regular-expression search over a
// megabyte of text, and how long a catastrophic pattern runs before the work limit stops it.
// Ends with one line: utf16_mb_per_s=… search_1mb_ms=… runaway_stop_ms=…

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "Methods/APMPStringCommandEvaluator.h"
#include "platform/Regex.h"
#include "platform/Unicode.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double conversionMegabytesPerSecond() {
  std::string text;
  while (text.size() < (4u << 20)) text += "Event name \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 value=42; ";
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    std::u16string units = platform::utf8ToUtf16(text);
    double ms = milliseconds(Clock::now() - start);
    if (units.empty()) return 0;
    best = std::max(best, (static_cast<double>(text.size()) / (1 << 20)) / (ms / 1000));
  }
  return best;
}

double searchMilliseconds() {
  std::u16string text(1u << 20, u'a');
  text += u"needle42";
  auto regex = platform::Regex::compile(std::u16string_view(u"needle\\d+"));
  if (!regex) return -1;
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    auto match = regex->firstMatch(text);
    best = std::min(best, milliseconds(Clock::now() - start));
    if (!match) return -1;
  }
  return best;
}

double runawayStopMilliseconds() {
  platform::RegexLimits limits;
  limits.timeSteps = kAPMPRegexTimeSteps;
  auto regex = platform::Regex::compile(std::u16string_view(u"^(a+)+$"), 0, nullptr, limits);
  if (!regex) return -1;
  const std::u16string text = std::u16string(64, u'a') + u"!";
  platform::Error error;
  auto start = Clock::now();
  regex->firstMatch(text, 0, &error);
  double ms = milliseconds(Clock::now() - start);
  return error.code == static_cast<int64_t>(platform::RegexError::TimedOut) ? ms : -1;
}

}  // namespace

int main() {
  double throughput = conversionMegabytesPerSecond();
  double search = searchMilliseconds();
  double runaway = runawayStopMilliseconds();
  std::printf("utf16_mb_per_s=%.0f search_1mb_ms=%.2f runaway_stop_ms=%.1f\n", throughput, search, runaway);
  return search < 0 || runaway < 0 ? 1 : 0;
}
