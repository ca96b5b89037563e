#include "platform/Regex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::Error;
using platform::Regex;
using platform::RegexError;
using platform::RegexRange;

std::shared_ptr<Regex> compileOrFail(std::u16string_view pattern, uint32_t flags = 0) {
  Error error;
  auto regex = Regex::compile(pattern, flags, &error);
  EXPECT_TRUE(regex) << error.description;
  return regex;
}

TEST(RegexTests, CompileErrorsAreReportedNotThrown) {
  const char16_t* invalid[] = {u"(", u"[a-", u"a{2,1}", u"*a", u"(?<n>a)(?<n>b)"};
  for (const char16_t* pattern : invalid) {
    Error error;
    EXPECT_EQ(Regex::compile(std::u16string_view(pattern), 0, &error), nullptr);
    EXPECT_EQ(error.domain, platform::kRegexErrorDomain);
    EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::InvalidPattern));
    EXPECT_TRUE(error.userInfo.count("icuError"));
  }
  // A null error pointer is allowed.
  EXPECT_EQ(Regex::compile(std::u16string_view(u"("), 0, nullptr), nullptr);
}

TEST(RegexTests, FirstMatchReportsGroupsInUtf16Offsets) {
  auto regex = compileOrFail(u"(\\d+)(x)?-(\\w+)");
  // The emoji takes two UTF-16 units, so the match starts at 3, not 2.
  const std::u16string text = u"a\xD83D\xDE00" u"12-ab";
  Error error;
  auto match = regex->firstMatch(text, 0, &error);
  ASSERT_TRUE(match);
  ASSERT_EQ(match->groups.size(), 4u);
  EXPECT_EQ(match->range(), (RegexRange{3, 5}));
  EXPECT_EQ(match->groups[1], (RegexRange{3, 2}));
  EXPECT_FALSE(match->groups[2].found());
  EXPECT_EQ(match->groups[3], (RegexRange{6, 2}));
  EXPECT_EQ(regex->groupCount(), 3u);

  auto later = regex->firstMatch(text, 4, &error);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->range(), (RegexRange{4, 4}));
  EXPECT_FALSE(regex->firstMatch(u"nothing here", 0, &error));
  EXPECT_FALSE(regex->firstMatch(text, text.size() + 1, &error));
}

// Runaway backtracking ends with an error instead of hanging: at the step limit, or when a progress
// observer says stop. Either way the expression stays usable, and quick matches never consult the
// observer.
TEST(RegexTests, CatastrophicBacktrackingEndsWithTimeOutOrWhenTheObserverStops) {
  const std::u16string runaway = std::u16string(64, u'a') + u"!";
  auto limited = compileOrFail(u"(a+)+$");
  Error error;
  EXPECT_FALSE(limited->firstMatch(runaway, 0, &error));
  EXPECT_EQ(error.domain, platform::kRegexErrorDomain);
  EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::TimedOut));

  std::vector<int32_t> seen;
  platform::RegexLimits limits;
  limits.timeSteps = 0;
  limits.onProgress = [&](int32_t steps) {
    seen.push_back(steps);
    return seen.size() < 3;
  };
  auto observed = Regex::compile(std::u16string_view(u"(a+)+$"), 0, &error, limits);
  ASSERT_TRUE(observed);
  error = {};
  EXPECT_FALSE(observed->firstMatch(runaway, 0, &error));
  EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::Stopped));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_LT(seen[0], seen[1]);
  EXPECT_LT(seen[1], seen[2]);

  seen.clear();
  for (const auto& regex : {limited, observed}) {
    Error later;
    EXPECT_TRUE(regex->contains(u"aaa", &later));
    EXPECT_TRUE(later.empty());
  }
  EXPECT_TRUE(seen.empty());
}

}  // namespace
