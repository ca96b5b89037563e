#pragma once
// Regular expressions in ICU's dialect, over UTF-16 text (every offset counts UTF-16 code units).
//
// Patterns often come from the network (audience filters, downloaded programs), so every match runs
// under a work limit: a catastrophic pattern such as "(a+)+$" ends with RegexError::TimedOut instead of
// holding the worker queue. Compile and match failures are reported through Error, never thrown.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

struct URegularExpression;

namespace platform {

inline constexpr const char* kRegexErrorDomain = "platform.RegularExpression";

enum class RegexError : int64_t {
  InvalidPattern = 1,      // the pattern does not compile; user info holds "offset" and "icuError"
  TimedOut = 2,            // the work limit was reached before the match finished
  StackOverflow = 3,       // the backtracking stack limit was reached
  InvalidReplacement = 4,  // a replacement template names a missing group or ends in a backslash
  Failed = 5,              // any other engine failure
  Stopped = 6,             // the progress observer asked to stop
};

enum RegexFlag : uint32_t {
  kRegexCaseInsensitive = 1u << 0,
  kRegexMultiline = 1u << 1,       // ^ and $ match at line boundaries
  kRegexDotMatchesAll = 1u << 2,   // . matches line terminators too
  kRegexComments = 1u << 3,        // white space and #-comments in the pattern are ignored
  kRegexLiteral = 1u << 4,         // the pattern is plain text
};

struct RegexLimits {
  // ICU's time limit, in steps of its match engine; one step is ten thousand iterations of the
  // engine's inner loop, a fraction of a millisecond on current hardware (bench-text reports it).
  // 0 disables the limit.
  int32_t timeSteps = 1000;
  // Upper bound of the heap-allocated backtracking stack, in bytes. 0 means no bound.
  int32_t stackBytes = 4 * 1024 * 1024;
  // Called once per step of a long match with the steps used so far by that match; returning false
  // ends it with RegexError::Stopped. Lets a caller charge the work to a budget of its own. It must
  // not use this expression.
  std::function<bool(int32_t steps)> onProgress;
};

// A range of UTF-16 units; start is -1 for a group that took no part in the match.
struct RegexRange {
  int64_t start = -1;
  int64_t length = 0;
  bool found() const { return start >= 0; }
  int64_t end() const { return start + length; }
  bool operator==(const RegexRange&) const = default;
};

// groups[0] is the whole match, groups[n] capture group n.
struct RegexMatch {
  std::vector<RegexRange> groups;
  const RegexRange& range() const { return groups.front(); }
};

// A compiled expression. Matching is serialised by an internal lock, so one instance may be shared
// between threads.
class Regex {
 public:
  // nullptr with a kRegexErrorDomain error when the pattern does not compile.
  static std::shared_ptr<Regex> compile(std::u16string_view pattern, uint32_t flags = 0,
                                        Error* error = nullptr, RegexLimits limits = {});
  static std::shared_ptr<Regex> compile(std::string_view utf8Pattern, uint32_t flags = 0,
                                        Error* error = nullptr, RegexLimits limits = {});
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  const std::u16string& pattern() const { return pattern_; }
  uint32_t flags() const { return flags_; }
  size_t groupCount() const { return groupCount_; }

  // True when the expression matches the whole text.
  bool matchesEntirely(std::u16string_view text, Error* error = nullptr) const;
  // The first match starting at or after `from` (a UTF-16 offset), or nothing.
  std::optional<RegexMatch> firstMatch(std::u16string_view text, size_t from = 0,
                                       Error* error = nullptr) const;
  // Every non-overlapping match in order; empty with the error set when matching failed.
  std::vector<RegexMatch> allMatches(std::u16string_view text, Error* error = nullptr) const;
  // True when the expression matches anywhere in the text.
  bool contains(std::u16string_view text, Error* error = nullptr) const;
  // The same two tests on UTF-8 text (converted as platform/Unicode.h describes).
  bool contains(std::string_view utf8Text, Error* error = nullptr) const;
  bool matchesEntirely(std::string_view utf8Text, Error* error = nullptr) const;

  // Replaces the first (or every) match by a template in which $n and ${name} stand for groups and a
  // backslash escapes the next character. The unchanged text is returned together with any error.
  std::u16string replace(std::u16string_view text, std::u16string_view replacementTemplate, bool all,
                         Error* error = nullptr) const;
  // The pieces between matches; an empty match at the start of a piece does not cut. At most `limit`
  // pieces.
  std::vector<std::u16string> split(std::u16string_view text, size_t limit = SIZE_MAX,
                                    Error* error = nullptr) const;

  // Escapes a text so that it stands for itself inside a replacement template.
  static std::u16string escapedTemplate(std::u16string_view text);

 private:
  Regex(URegularExpression* expression, std::u16string pattern, uint32_t flags, RegexLimits limits);
  bool setText(std::u16string_view text, Error* error) const;
  bool findNext(int64_t from, bool first, std::optional<RegexMatch>& match, Error* error) const;
  void detachText() const;

  static bool progress(const void* context, int32_t steps);

  URegularExpression* expression_;
  std::u16string pattern_;
  RegexLimits limits_;
  uint32_t flags_;
  size_t groupCount_ = 0;
  mutable std::mutex mutex_;
};

}  // namespace platform
