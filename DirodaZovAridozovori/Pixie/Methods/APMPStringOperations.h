#pragma once
// The text algorithms behind the string methods, over UTF-16 code units (every index, position and
// length counts code units, and a character taken out of a text is one code unit). Positions arrive
// as the integral doubles of ToInteger (possibly infinite) and are clamped here.
//
// Searches are ordinal: canonically equivalent but differently encoded sequences are not equal, so
// an index a program computes always lines up with the code units it reads back.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The one-unit text at the index, or empty when the index is negative or not below the length.
std::u16string APMPStringCharAt(std::u16string_view text, double index);

// First occurrence at or after the position (clamped to 0 .. length); -1 when absent. An empty
// search text is never found.
int64_t APMPStringIndexOf(std::u16string_view text, std::u16string_view search, double position);

// Last occurrence starting at or before the position (NaN and absent mean +Infinity); -1 when
// absent. An empty search text is never found.
int64_t APMPStringLastIndexOf(std::u16string_view text, std::u16string_view search, double position);

// Relative bounds: a negative value counts from the end; absent start is 0, absent end the length.
std::u16string APMPStringSlice(std::u16string_view text, std::optional<double> start,
                               std::optional<double> end);

// Absolute bounds clamped to 0 .. length and swapped when start is after end.
std::u16string APMPStringSubstring(std::u16string_view text, std::optional<double> start,
                                   std::optional<double> end);

// Cuts at every occurrence of a non-empty separator (empty pieces kept) or, for an empty separator,
// into single code units, and keeps the first `limit` pieces. Stops early, returning nothing, when
// more than maxPieces pieces would be kept.
std::optional<std::vector<std::u16string>> APMPStringSplit(std::u16string_view text,
                                                           std::u16string_view separator, uint64_t limit,
                                                           size_t maxPieces);

// True when the number is an integral index below the length (NaN and negatives are not).
bool APMPStringHasIndex(std::u16string_view text, double number);

// Clamps an integral or infinite double into [low, high] (NaN gives low).
int64_t APMPClampPosition(double value, int64_t low, int64_t high);

// A relative position: negative counts back from the length; the result lies in 0 .. length.
int64_t APMPRelativePosition(double value, int64_t length);
