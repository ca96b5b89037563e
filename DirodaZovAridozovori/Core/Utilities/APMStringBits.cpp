#include "APMStringBits.h"

#include "platform/Crypto.h"
#include "platform/Unicode.h"

bool isBitEnabledAtIndex(std::string_view bits, int64_t index) {
  if (index < 0) return false;
  // Bit strings are ASCII, where bytes and UTF-16 units line up one to one; only text with other
  // characters before the index needs converting.
  uint64_t position = static_cast<uint64_t>(index);
  size_t ascii = 0;
  while (ascii < bits.size() && ascii <= position && static_cast<unsigned char>(bits[ascii]) < 0x80) ++ascii;
  if (ascii > position) return bits[static_cast<size_t>(position)] == '1';
  if (ascii == bits.size()) return false;
  std::u16string units = platform::utf8ToUtf16(bits);
  return position < units.size() && units[static_cast<size_t>(position)] == u'1';
}

std::optional<std::string> apm_MD5String(std::string_view text) {
  if (!platform::isValidUtf8(text)) return std::nullopt;
  return platform::md5Hex(text);
}

size_t apm_UTF32Length(std::string_view text) { return platform::utf32Length(text); }

bool apm_getUTF32Bytes(std::string_view text, uint8_t* buffer, size_t maxBytes, size_t* usedBytes) {
  std::u16string units = platform::utf8ToUtf16(text);
  size_t used = 0;
  for (size_t i = 0; i < units.size() && buffer && used + 4 <= maxBytes; ++i) {
    char32_t scalar = units[i];
    // utf8ToUtf16 repairs its input, so a high surrogate is always followed by its low half.
    if (scalar >= 0xD800 && scalar <= 0xDBFF && i + 1 < units.size()) {
      scalar = 0x10000 + ((scalar - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    for (int shift = 0; shift < 32; shift += 8) buffer[used++] = static_cast<uint8_t>(scalar >> shift);
  }
  if (usedBytes) *usedBytes = used;
  return used > 0;
}
