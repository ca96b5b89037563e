#include "platform/Regex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
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

TEST(RegexTests, FlagsChangeMatching) {
  struct Case {
    const char16_t* pattern;
    uint32_t flags;
    const char16_t* text;
    bool contains;
  };
  const Case cases[] = {
      {u"abc", 0, u"xABCx", false},
      {u"abc", platform::kRegexCaseInsensitive, u"xABCx", true},
      {u"^b$", 0, u"a\nb\nc", false},
      {u"^b$", platform::kRegexMultiline, u"a\nb\nc", true},
      {u"a.b", 0, u"a\nb", false},
      {u"a.b", platform::kRegexDotMatchesAll, u"a\nb", true},
      {u"a.b", platform::kRegexLiteral, u"axb", false},
      {u"a.b", platform::kRegexLiteral, u"a.b", true},
      {u"a b # comment", platform::kRegexComments, u"ab", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern)));
    auto regex = compileOrFail(c.pattern, c.flags);
    Error error;
    EXPECT_EQ(regex->contains(c.text, &error), c.contains);
    EXPECT_TRUE(error.empty());
  }
}

TEST(RegexTests, MatchesEntirelyNeedsTheWholeText) {
  auto regex = compileOrFail(u"[a-z]+");
  EXPECT_TRUE(regex->matchesEntirely(u"abc"));
  EXPECT_FALSE(regex->matchesEntirely(u"abc1"));
  EXPECT_FALSE(regex->matchesEntirely(u""));
}

TEST(RegexTests, Utf8TextIsMatchedByCharacters) {
  Error error;
  auto blocked = Regex::compile(std::string_view("^_ltv_[A-Z]{3}$"), 0, &error);
  ASSERT_TRUE(blocked);
  EXPECT_TRUE(blocked->contains(std::string_view("_ltv_USD")));
  EXPECT_FALSE(blocked->contains(std::string_view("_ltv_usd")));
  EXPECT_FALSE(blocked->contains(std::string_view("_ltv_USDX")));

  // "." is one character, however many bytes it takes in UTF-8.
  auto three = compileOrFail(u"...");
  EXPECT_TRUE(three->matchesEntirely(std::string_view("\xC3\xA9t\xC3\xA9")));
  EXPECT_FALSE(three->matchesEntirely(std::string_view("\xC3\xA9t")));
  auto folded = compileOrFail(u"stra\u00DFe", platform::kRegexCaseInsensitive);
  EXPECT_TRUE(folded->contains(std::string_view("in der STRA\xC3\x9F" "E")));
}

TEST(RegexTests, AllMatchesAdvancePastEmptyMatches) {
  auto regex = compileOrFail(u"a*");
  auto matches = regex->allMatches(u"baab");
  std::vector<RegexRange> ranges;
  for (const auto& m : matches) ranges.push_back(m.range());
  const std::vector<RegexRange> expected = {{0, 0}, {1, 2}, {3, 0}, {4, 0}};
  EXPECT_EQ(ranges, expected);
}

TEST(RegexTests, ReplaceUsesTemplatesAndReportsBadGroups) {
  auto regex = compileOrFail(u"(\\w)(\\d)");
  EXPECT_EQ(regex->replace(u"a1 b2", u"$2$1", false), u"1a b2");
  EXPECT_EQ(regex->replace(u"a1 b2", u"$2$1", true), u"1a 2b");
  EXPECT_EQ(regex->replace(u"none", u"x", true), u"none");
  EXPECT_EQ(regex->replace(u"a1", Regex::escapedTemplate(u"$1\\"), true), u"$1\\");

  Error error;
  EXPECT_EQ(regex->replace(u"a1", u"$9", true, &error), u"a1");
  EXPECT_EQ(error.domain, platform::kRegexErrorDomain);
  EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::InvalidReplacement));
}

TEST(RegexTests, SplitCutsAtMatchesAndHonoursTheLimit) {
  struct Case {
    const char16_t* pattern;
    const char16_t* text;
    size_t limit;
    std::vector<std::u16string> pieces;
  };
  const Case cases[] = {
      {u",", u"a,b,,c", SIZE_MAX, {u"a", u"b", u"", u"c"}},
      {u",", u"a,b,,c", 2, {u"a", u"b"}},
      {u",", u"a,b", 0, {}},
      {u"\\s*", u"a b", SIZE_MAX, {u"a", u"b"}},
      {u"", u"abc", SIZE_MAX, {u"a", u"b", u"c"}},
      {u",", u"", SIZE_MAX, {u""}},
      {u",", u",a,", SIZE_MAX, {u"", u"a", u""}},
  };
  for (const auto& c : cases) {
    auto regex = compileOrFail(c.pattern);
    EXPECT_EQ(regex->split(c.text, c.limit), c.pieces);
  }
}

TEST(RegexTests, CatastrophicBacktrackingEndsWithTimeOut) {
  auto regex = compileOrFail(u"(a+)+$");
  const std::u16string text = std::u16string(64, u'a') + u"!";
  Error error;
  EXPECT_FALSE(regex->firstMatch(text, 0, &error));
  EXPECT_EQ(error.domain, platform::kRegexErrorDomain);
  EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::TimedOut));

  // The same expression is still usable afterwards.
  Error later;
  EXPECT_TRUE(regex->contains(u"aaa", &later));
  EXPECT_TRUE(later.empty());
}

TEST(RegexTests, ProgressObserverSeesGrowingStepsAndCanStop) {
  std::vector<int32_t> seen;
  platform::RegexLimits limits;
  limits.timeSteps = 0;
  limits.onProgress = [&](int32_t steps) {
    seen.push_back(steps);
    return seen.size() < 3;
  };
  Error error;
  auto regex = Regex::compile(std::u16string_view(u"(a+)+$"), 0, &error, limits);
  ASSERT_TRUE(regex);
  EXPECT_FALSE(regex->firstMatch(std::u16string(64, u'a') + u"!", 0, &error));
  EXPECT_EQ(error.code, static_cast<int64_t>(RegexError::Stopped));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_LT(seen[0], seen[1]);
  EXPECT_LT(seen[1], seen[2]);

  // Quick matches never consult the observer.
  seen.clear();
  Error quick;
  EXPECT_TRUE(regex->contains(u"aaa", &quick));
  EXPECT_TRUE(quick.empty());
  EXPECT_TRUE(seen.empty());
}

TEST(RegexTests, SharedInstanceIsSafeAcrossThreads) {
  auto regex = compileOrFail(u"(\\d+)");
  std::vector<std::thread> threads;
  std::vector<int> hits(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string text = u"x" + std::u16string(static_cast<size_t>(t + 1), u'7');
      for (int i = 0; i < 200; ++i) {
        auto match = regex->firstMatch(text);
        if (match && match->groups[1] == RegexRange{1, t + 1}) ++hits[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : hits) EXPECT_EQ(count, 200);
}

}  // namespace
