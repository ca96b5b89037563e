#include "platform/Unicode.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>

namespace platform {
namespace {

// ICU counts in int32_t; longer texts are mapped in pieces of this many units, cut between characters.
constexpr size_t kIcuChunkUnits = size_t{1} << 28;

void appendUtf16(std::u16string& out, UChar32 c) {
  if (c <= 0xFFFF) {
    out.push_back(static_cast<char16_t>(c));
    return;
  }
  out.push_back(static_cast<char16_t>(U16_LEAD(c)));
  out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
}

void appendUtf8(std::string& out, UChar32 c) {
  char buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  UBool failed = false;
  U8_APPEND(buffer, length, U8_MAX_LENGTH, c, failed);
  if (failed) return;
  out.append(buffer, static_cast<size_t>(length));
}

// Where a piece of at most kIcuChunkUnits units may end without splitting a surrogate pair.
size_t chunkEnd(std::u16string_view text, size_t start) {
  size_t end = std::min(text.size(), start + kIcuChunkUnits);
  if (end < text.size() && end > start && U16_IS_LEAD(text[end - 1])) --end;
  return end;
}

using CaseMapper = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

std::u16string mapChunk(std::u16string_view piece, CaseMapper mapper, const char* locale) {
  const auto* source = reinterpret_cast<const UChar*>(piece.data());
  const auto length = static_cast<int32_t>(piece.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = mapper(nullptr, 0, source, length, locale, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::u16string(piece);
  std::u16string out(static_cast<size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  mapper(reinterpret_cast<UChar*>(out.data()), needed, source, length, locale, &status);
  if (U_FAILURE(status)) return std::u16string(piece);
  return out;
}

std::u16string mapCase(std::u16string_view text, CaseMapper mapper, const char* locale) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t start = 0; start < text.size();) {
    size_t end = chunkEnd(text, start);
    out += mapChunk(text.substr(start, end - start), mapper, locale);
    start = end;
  }
  return out;
}

int32_t foldMapper(UChar* dest, int32_t capacity, const UChar* source, int32_t length, const char*,
                   UErrorCode* status) {
  return u_strFoldCase(dest, capacity, source, length, U_FOLD_CASE_DEFAULT, status);
}

// An empty identifier is ICU's root locale; nullptr would mean the process default.
constexpr const char* kRootLocale = "";

const char* localeArgument(const std::string& locale) {
  return locale.empty() ? nullptr : locale.c_str();
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t length = utf8.size();
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(utf8.data(), i, length, c);
    appendUtf16(out, c);
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  size_t i = 0;
  const size_t length = utf16.size();
  while (i < length) {
    UChar32 c;
    U16_NEXT_OR_FFFD(utf16.data(), i, length, c);
    appendUtf8(out, c);
  }
  return out;
}

std::u16string generalizedUtf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t length = text.size();
  while (i < length) {
    auto lead = static_cast<uint8_t>(text[i]);
    if (lead == 0xED && i + 2 < length) {
      auto second = static_cast<uint8_t>(text[i + 1]);
      auto third = static_cast<uint8_t>(text[i + 2]);
      if (second >= 0xA0 && second <= 0xBF && (third & 0xC0) == 0x80) {
        out.push_back(static_cast<char16_t>(0xD000 | ((second & 0x3F) << 6) | (third & 0x3F)));
        i += 3;
        continue;
      }
    }
    UChar32 c;
    U8_NEXT_OR_FFFD(text.data(), i, length, c);
    appendUtf16(out, c);
  }
  return out;
}

std::string utf16ToGeneralizedUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  size_t i = 0;
  const size_t length = utf16.size();
  while (i < length) {
    UChar32 c;
    U16_NEXT(utf16.data(), i, length, c);
    if (U_IS_SURROGATE(c)) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      continue;
    }
    appendUtf8(out, c);
  }
  return out;
}

bool isValidUtf8(std::string_view utf8) {
  size_t i = 0;
  const size_t length = utf8.size();
  while (i < length) {
    UChar32 c;
    U8_NEXT(utf8.data(), i, length, c);
    if (c < 0) return false;
  }
  return true;
}

size_t utf16Length(std::string_view utf8) {
  size_t count = 0;
  size_t i = 0;
  const size_t length = utf8.size();
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(utf8.data(), i, length, c);
    count += U16_LENGTH(c);
  }
  return count;
}

size_t utf32Length(std::string_view utf8) {
  size_t count = 0;
  size_t i = 0;
  const size_t length = utf8.size();
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(utf8.data(), i, length, c);
    ++count;
  }
  return count;
}

size_t utf32Length(std::u16string_view utf16) {
  size_t count = 0;
  size_t i = 0;
  const size_t length = utf16.size();
  while (i < length) {
    U16_FWD_1(utf16.data(), i, length);
    ++count;
  }
  return count;
}

std::string truncateToCharacters(std::string_view utf8, size_t maxCharacters) {
  std::string out;
  size_t i = 0;
  const size_t length = utf8.size();
  for (size_t taken = 0; i < length && taken < maxCharacters; ++taken) {
    UChar32 c;
    U8_NEXT_OR_FFFD(utf8.data(), i, length, c);
    appendUtf8(out, c);
  }
  return out;
}

std::u16string truncateToUtf16Units(std::u16string_view utf16, size_t maxUnits) {
  if (utf16.size() <= maxUnits) return std::u16string(utf16);
  size_t end = maxUnits;
  if (end > 0 && U16_IS_LEAD(utf16[end - 1]) && U16_IS_TRAIL(utf16[end])) --end;
  return std::u16string(utf16.substr(0, end));
}

std::u16string toLower(std::u16string_view text) { return mapCase(text, u_strToLower, kRootLocale); }
std::u16string toUpper(std::u16string_view text) { return mapCase(text, u_strToUpper, kRootLocale); }

std::string toLower(std::string_view utf8) { return utf16ToUtf8(toLower(utf8ToUtf16(utf8))); }
std::string toUpper(std::string_view utf8) { return utf16ToUtf8(toUpper(utf8ToUtf16(utf8))); }

std::u16string toLower(std::u16string_view text, const std::string& locale) {
  return mapCase(text, u_strToLower, localeArgument(locale));
}

std::u16string toUpper(std::u16string_view text, const std::string& locale) {
  return mapCase(text, u_strToUpper, localeArgument(locale));
}

std::u16string foldCase(std::u16string_view text) { return mapCase(text, foldMapper, kRootLocale); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return foldCase(utf8ToUtf16(a)) == foldCase(utf8ToUtf16(b));
}

bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
  return foldCase(utf8ToUtf16(text)).starts_with(foldCase(utf8ToUtf16(prefix)));
}

bool hasSuffixIgnoringCase(std::string_view text, std::string_view suffix) {
  return foldCase(utf8ToUtf16(text)).ends_with(foldCase(utf8ToUtf16(suffix)));
}

bool containsIgnoringCase(std::string_view text, std::string_view needle) {
  return foldCase(utf8ToUtf16(text)).find(foldCase(utf8ToUtf16(needle))) != std::u16string::npos;
}

bool isWhitespaceOrNewline(char32_t c) {
  return c <= 0x10FFFF && u_isUWhiteSpace(static_cast<UChar32>(c));
}

std::u16string trimWhitespaceAndNewlines(std::u16string_view text) {
  size_t start = 0;
  size_t end = text.size();
  while (start < end) {
    size_t next = start;
    UChar32 c;
    U16_NEXT(text.data(), next, end, c);
    if (!isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    start = next;
  }
  while (end > start) {
    size_t previous = end;
    UChar32 c;
    U16_PREV(text.data(), start, previous, c);
    if (!isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    end = previous;
  }
  return std::u16string(text.substr(start, end - start));
}

int compareUtf16(std::u16string_view a, std::u16string_view b) {
  int result = a.compare(b);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

}  // namespace platform
