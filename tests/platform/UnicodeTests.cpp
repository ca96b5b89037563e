#include "platform/Unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using platform::utf16ToUtf8;
using platform::utf8ToUtf16;

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
  bool valid;
  size_t scalars;  // the same count in both encodings
};

TEST(UnicodeTests, Utf8ToUtf16ReplacesEachMaximalIllFormedSubpart) {
  const DecodeCase cases[] = {
      {"ascii", "abc", u"abc", true, 3},
      {"two byte", "\xC3\xA9", u"\u00E9", true, 1},
      {"four byte becomes a pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00", true, 1},
      {"embedded zero kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3), true, 3},
      {"stray continuation", "a\x80" "b", u"a\uFFFDb", false, 3},
      {"truncated at end", "a\xE2\x82", u"a\uFFFD", false, 2},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false, 2},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false, 3},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(platform::isValidUtf8(c.utf8), c.valid);
    EXPECT_EQ(platform::utf16Length(c.utf8), c.utf16.size());
    EXPECT_EQ(platform::utf32Length(c.utf8), c.scalars);
    EXPECT_EQ(platform::utf32Length(std::u16string_view(c.utf16)), c.scalars);
  }
}

TEST(UnicodeTests, Utf16ToUtf8ReplacesUnpairedSurrogates) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},                   {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},
      {std::u16string{char16_t(0xDE00), u'x'}, "\xEF\xBF\xBDx"}, {std::u16string{u'x', char16_t(0xD83D)}, "x\xEF\xBF\xBD"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(utf16ToUtf8(input), expected);
}

TEST(UnicodeTests, TruncationNeverSplitsACharacter) {
  const std::string mixed = "a\xC3\xA9\xF0\x9F\x98\x80z";  // a, e-acute, emoji, z
  EXPECT_EQ(platform::truncateToCharacters(mixed, 2), "a\xC3\xA9");
  EXPECT_EQ(platform::truncateToCharacters(mixed, 3), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(platform::truncateToCharacters(mixed, 10), mixed);
  EXPECT_EQ(platform::truncateToCharacters("\xE2\x82\xE2\x82\xACx", 2), "\xEF\xBF\xBD\xE2\x82\xAC");

  const std::u16string pair = u"ab\xD83D\xDE00";
  EXPECT_EQ(platform::truncateToUtf16Units(pair, 3), u"ab");
  EXPECT_EQ(platform::truncateToUtf16Units(pair, 4), pair);
}

TEST(UnicodeTests, CaseMappingIsFullAndIgnoresTheLocale) {
  const std::tuple<std::string, std::string, std::string> cases[] = {  // input, lower, upper
      {"stra\xC3\x9F" "e", "stra\xC3\x9F" "e", "STRASSE"},       // sharp s grows
      {"I", "i", "I"},                                          // no Turkish dotless i
      {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1", "\xCE\xA3\xCE\x91"},
  };
  for (const auto& [input, lower, upper] : cases) {
    EXPECT_EQ(platform::toLower(std::string_view(input)), lower) << input;
    EXPECT_EQ(platform::toUpper(std::string_view(input)), upper) << input;
  }
  EXPECT_EQ(platform::toLower(std::u16string_view(u"I"), "tr"), u"\u0131");
  EXPECT_EQ(platform::toUpper(std::u16string_view(u"i"), "tr"), u"\u0130");
}

TEST(UnicodeTests, CaseInsensitiveComparisonsFold) {
  EXPECT_TRUE(platform::equalsIgnoringCase("Stra\xC3\x9F" "e", "STRASSE"));
  EXPECT_FALSE(platform::equalsIgnoringCase("abc", "abcd"));
  EXPECT_TRUE(platform::hasPrefixIgnoringCase("STRASSE_x", "stra\xC3\x9F" "e"));
  EXPECT_FALSE(platform::hasPrefixIgnoringCase("Purchase_Complete", "COMPLETE"));
  EXPECT_FALSE(platform::hasPrefixIgnoringCase("abc", "abcd"));
}

TEST(UnicodeTests, TrimRemovesUnicodeWhiteSpaceAndLineBreaks) {
  // A zero-width space is not white space.
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\tabc\n", u"abc"}, {u"\u00A0\u2028 a b \u3000\r\n", u"a b"}, {u"   ", u""}, {u"\u200Bx", u"\u200Bx"}};
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(platform::trimWhitespaceAndNewlines(input), expected);
  }
}

TEST(UnicodeTests, GeneralizedUtf8KeepsLoneSurrogates) {
  const std::u16string lead(1, char16_t(0xD83D));
  const std::u16string trail(1, char16_t(0xDE00));
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\u00E9", "a\xC3\xA9"}, {lead, "\xED\xA0\xBD"}, {trail + u"x", "\xED\xB8\x80x"}, {lead + trail, "\xF0\x9F\x98\x80"}};
  for (const auto& [utf16, bytes] : cases) {
    EXPECT_EQ(platform::utf16ToGeneralizedUtf8(utf16), bytes);
    EXPECT_EQ(platform::generalizedUtf8ToUtf16(bytes), utf16);
  }
  // Halves written separately still join into the pair.
  EXPECT_EQ(platform::generalizedUtf8ToUtf16("\xED\xA0\xBD\xED\xB8\x80"), lead + trail);
  // Other malformed input is still replaced, and a cut-off surrogate form is not taken as one.
  EXPECT_EQ(platform::generalizedUtf8ToUtf16("\xED\xA0"), u"\uFFFD\uFFFD");
  EXPECT_EQ(platform::generalizedUtf8ToUtf16("\x80"), u"\uFFFD");
}

// Deterministic pseudo-random inputs: the properties must hold for arbitrary bytes and code units.
uint32_t nextRandom(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

TEST(UnicodeTests, ArbitraryBytesAlwaysConvertToWellFormedText) {
  uint32_t state = 2024;
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(nextRandom(state) % 24, '\0');
    for (char& b : bytes) b = static_cast<char>(nextRandom(state) & 0xFF);
    const std::u16string units = platform::utf8ToUtf16(bytes);
    const std::string back = platform::utf16ToUtf8(units);
    // Whatever came in, what goes out again is well-formed.
    ASSERT_TRUE(platform::isValidUtf8(back));
    ASSERT_EQ(platform::utf16Length(bytes), units.size());
    ASSERT_EQ(platform::utf32Length(bytes), platform::utf32Length(std::u16string_view(units)));
    // Well-formed text survives unchanged.
    ASSERT_EQ(platform::utf8ToUtf16(back), units);
    ASSERT_TRUE(platform::isValidUtf8(platform::truncateToCharacters(bytes, round % 7)));
  }
}

}  // namespace
