#include "Methods/APMPStringOperations.h"

#include <algorithm>
#include <cmath>
#include <utility>

int64_t APMPClampPosition(double value, int64_t low, int64_t high) {
  if (std::isnan(value) || value <= static_cast<double>(low)) return low;
  if (value >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(value);
}

int64_t APMPRelativePosition(double value, int64_t length) {
  if (std::isnan(value)) return 0;
  if (value < 0) return APMPClampPosition(value + static_cast<double>(length), 0, length);
  return APMPClampPosition(value, 0, length);
}

std::u16string APMPStringCharAt(std::u16string_view text, double index) {
  if (std::isnan(index) || index < 0 || index >= static_cast<double>(text.size())) return {};
  return std::u16string(1, text[static_cast<size_t>(index)]);
}

int64_t APMPStringIndexOf(std::u16string_view text, std::u16string_view search, double position) {
  if (search.empty()) return -1;
  const auto length = static_cast<int64_t>(text.size());
  const int64_t start = APMPClampPosition(position, 0, length);
  size_t found = text.find(search, static_cast<size_t>(start));
  return found == std::u16string_view::npos ? -1 : static_cast<int64_t>(found);
}

int64_t APMPStringLastIndexOf(std::u16string_view text, std::u16string_view search, double position) {
  if (search.empty() || search.size() > text.size()) return -1;
  const auto length = static_cast<int64_t>(text.size());
  const double effective = std::isnan(position) ? INFINITY : position;
  const int64_t start = APMPClampPosition(effective, 0, length);
  const int64_t windowEnd = std::min(start + static_cast<int64_t>(search.size()), length);
  const int64_t lastStart = windowEnd - static_cast<int64_t>(search.size());
  size_t found = text.rfind(search, static_cast<size_t>(lastStart));
  return found == std::u16string_view::npos ? -1 : static_cast<int64_t>(found);
}

std::u16string APMPStringSlice(std::u16string_view text, std::optional<double> start,
                               std::optional<double> end) {
  const auto length = static_cast<int64_t>(text.size());
  const int64_t from = start ? APMPRelativePosition(*start, length) : 0;
  const int64_t to = end ? APMPRelativePosition(*end, length) : length;
  if (to <= from) return {};
  return std::u16string(text.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)));
}

std::u16string APMPStringSubstring(std::u16string_view text, std::optional<double> start,
                                   std::optional<double> end) {
  const auto length = static_cast<int64_t>(text.size());
  int64_t from = start ? APMPClampPosition(*start, 0, length) : 0;
  int64_t to = end ? APMPClampPosition(*end, 0, length) : length;
  if (from > to) std::swap(from, to);
  return std::u16string(text.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)));
}

std::optional<std::vector<std::u16string>> APMPStringSplit(std::u16string_view text,
                                                           std::u16string_view separator, uint64_t limit,
                                                           size_t maxPieces) {
  std::vector<std::u16string> pieces;
  auto keep = [&](std::u16string_view piece) {
    if (pieces.size() >= maxPieces) return false;
    pieces.emplace_back(piece);
    return true;
  };
  if (separator.empty()) {
    for (size_t i = 0; i < text.size() && pieces.size() < limit; ++i) {
      if (!keep(text.substr(i, 1))) return std::nullopt;
    }
    return pieces;
  }
  size_t pieceStart = 0;
  while (pieces.size() < limit) {
    size_t found = text.find(separator, pieceStart);
    if (found == std::u16string_view::npos) {
      if (!keep(text.substr(pieceStart))) return std::nullopt;
      break;
    }
    if (!keep(text.substr(pieceStart, found - pieceStart))) return std::nullopt;
    pieceStart = found + separator.size();
  }
  return pieces;
}

bool APMPStringHasIndex(std::u16string_view text, double number) {
  if (std::isnan(number) || number < 0 || std::trunc(number) != number) return false;
  return number < static_cast<double>(text.size());
}
