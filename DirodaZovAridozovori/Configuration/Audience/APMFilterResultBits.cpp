#include "APMFilterResultBits.h"

#include <algorithm>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

constexpr int32_t kBitsPerWord = 64;

bool bitAt(const std::vector<uint64_t>& words, int32_t filterID) {
  if (filterID < 0) return false;
  const size_t word = static_cast<size_t>(filterID / kBitsPerWord);
  return word < words.size() && (words[word] & (uint64_t{1} << (filterID % kBitsPerWord))) != 0;
}

}  // namespace

APMFilterResultBits APMFilterResultBits::fromResultData(const APMPBResultData& data) {
  APMFilterResultBits bits;
  bits.status = APMNanoGetRepeatedField<uint64_t>(data, APMPBResultData::kStatus).value_or(std::vector<uint64_t>{});
  bits.results = APMNanoGetRepeatedField<uint64_t>(data, APMPBResultData::kResults).value_or(std::vector<uint64_t>{});
  return bits;
}

void APMFilterResultBits::extendToFilter(int32_t filterID) {
  size_t length = std::max(status.size(), results.size());
  if (filterID >= 0) length = std::max(length, static_cast<size_t>(filterID / kBitsPerWord) + 1);
  status.resize(length, 0);
  results.resize(length, 0);
}

bool APMFilterResultBits::isEvaluated(int32_t filterID) const { return bitAt(status, filterID); }

bool APMFilterResultBits::isTrue(int32_t filterID) const {
  return bitAt(status, filterID) && bitAt(results, filterID);
}

void APMFilterResultBits::set(int32_t filterID, bool result) {
  if (filterID < 0) return;
  extendToFilter(filterID);
  const size_t word = static_cast<size_t>(filterID / kBitsPerWord);
  const uint64_t bit = uint64_t{1} << (filterID % kBitsPerWord);
  status[word] |= bit;
  results[word] = result ? (results[word] | bit) : (results[word] & ~bit);
}

void APMFilterResultBits::clear(int32_t filterID) {
  if (filterID < 0) return;
  extendToFilter(-1);
  const size_t word = static_cast<size_t>(filterID / kBitsPerWord);
  if (word >= status.size()) return;
  const uint64_t bit = uint64_t{1} << (filterID % kBitsPerWord);
  status[word] &= ~bit;
  results[word] &= ~bit;
}

bool APMFilterResultBits::anyEvaluated() const {
  return std::any_of(status.begin(), status.end(), [](uint64_t word) { return word != 0; });
}

void APMFilterResultBits::writeTo(APMPBResultData& data) const {
  APMNanoSetRepeatedField(data, APMPBResultData::kStatus, status);
  APMNanoSetRepeatedField(data, APMPBResultData::kResults, results);
}
