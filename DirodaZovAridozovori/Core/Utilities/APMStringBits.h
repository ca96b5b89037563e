#pragma once
// Character-level helpers on strings: bit strings, MD5 text and UTF-32 lengths.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// True when 0 <= index < length (in UTF-16 units) and the character there is "1".
bool isBitEnabledAtIndex(std::string_view bits, int64_t index);

// The MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits; none when the text is not UTF-8.
std::optional<std::string> apm_MD5String(std::string_view text);

// The number of UTF-32 code units (Unicode scalar values).
size_t apm_UTF32Length(std::string_view text);

// Writes the text as UTF-32 little-endian into buffer, whole characters only, up to maxBytes.
// Returns whether any bytes were written; *usedBytes (when given) receives how many.
bool apm_getUTF32Bytes(std::string_view text, uint8_t* buffer, size_t maxBytes, size_t* usedBytes = nullptr);
