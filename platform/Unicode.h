#pragma once
// Text helpers over ICU: UTF-8 <-> UTF-16 conversion, lengths in the units the SDK counts, cutting on
// character boundaries and locale-independent case mapping.
//
// Invalid input is never trusted: a malformed UTF-8 sequence (a stray continuation byte, a truncated
// sequence, an overlong form, an encoded surrogate, a value above U+10FFFF) becomes one U+FFFD
// REPLACEMENT CHARACTER per maximal ill-formed subpart, the way the Unicode standard recommends, and
// an unpaired UTF-16 surrogate becomes U+FFFD when converted to UTF-8. Nothing reads past the input.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr char16_t kReplacementCharacter = u'\uFFFD';

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

// Generalized UTF-8: UTF-8 in which a lone surrogate code unit is kept as its three-byte form
// (ED A0 80 .. ED BF BF), so UTF-16 text cut between the halves of a pair survives a round trip
// through std::string. A lead and a trail surrogate written one after the other decode as a pair.
// Other malformed bytes become U+FFFD as above.
std::u16string generalizedUtf8ToUtf16(std::string_view text);
std::string utf16ToGeneralizedUtf8(std::u16string_view utf16);

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view utf8);

// Length in UTF-16 code units (what most of the SDK calls a string's length).
size_t utf16Length(std::string_view utf8);

// Length in Unicode scalar values (UTF-32 code units).
size_t utf32Length(std::string_view utf8);
size_t utf32Length(std::u16string_view utf16);

// The longest prefix holding at most maxCharacters Unicode scalar values; never splits a sequence.
// Malformed input is repaired first, so the result is always valid UTF-8.
std::string truncateToCharacters(std::string_view utf8, size_t maxCharacters);

// The longest prefix holding at most maxUnits UTF-16 code units without splitting a surrogate pair.
std::u16string truncateToUtf16Units(std::u16string_view utf16, size_t maxUnits);

// Full Unicode case mapping (one character may become several, e.g. U+00DF to "SS").
// The locale-independent forms use the root locale, so a Turkish or Lithuanian user setting never
// changes what a program or a filter sees.
std::u16string toLower(std::u16string_view text);
std::u16string toUpper(std::u16string_view text);
std::string toLower(std::string_view utf8);
std::string toUpper(std::string_view utf8);
// The same mapping by the given ICU locale identifier ("tr", "en_US"); empty means the default locale.
std::u16string toLower(std::u16string_view text, const std::string& locale);
std::u16string toUpper(std::u16string_view text, const std::string& locale);

// Full case folding, for case-insensitive comparison.
std::u16string foldCase(std::u16string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Prefix, suffix and substring tests on the case-folded forms of both texts (so "STRASSE" ends with
// "\u00DFe"). An empty needle is found in every text.
bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix);
bool hasSuffixIgnoringCase(std::string_view text, std::string_view suffix);
bool containsIgnoringCase(std::string_view text, std::string_view needle);

// White space or a line break (Unicode White_Space property).
bool isWhitespaceOrNewline(char32_t c);
// The text without leading and trailing white space and line breaks.
std::u16string trimWhitespaceAndNewlines(std::u16string_view text);

// Ordinal comparison of UTF-16 code units (no locale, no normalisation): <0, 0, >0.
int compareUtf16(std::u16string_view a, std::u16string_view b);

}  // namespace platform
