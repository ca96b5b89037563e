// Decoding never trusts its input: configurations, programs and experiment replies come from the
// network. These cases run under AddressSanitizer and LeakSanitizer in CI.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../../fuzz/MessageDecodeCheck.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

using Bytes = std::vector<uint8_t>;

void appendVarint(Bytes& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

// A runtime entity whose "value" list nests `depth` entities deep (the innermost is empty).
// Built from the inside out in reverse, so that it takes linear time.
Bytes nestedEntity(int depth) {
  Bytes reversed;
  for (int level = 0; level < depth; ++level) {
    Bytes length;
    appendVarint(length, reversed.size());
    reversed.insert(reversed.end(), length.rbegin(), length.rend());
    reversed.push_back(0x12);  // field 2 ("value"), length-delimited
  }
  return Bytes(reversed.rbegin(), reversed.rend());
}

TEST(DecodingSafety, MalformedInputsAreRefused) {
  struct Case { const char* what; Bytes bytes; };
  const std::vector<Case> cases = {
      {"string field sent as a varint", {0x12, 0x01}},  // config app ID (tag 2), wire type 0
      {"integer field sent as a string", {0x0A, 0x01, 0x31}},  // version (tag 1) as bytes
      {"length beyond the end", {0x12, 0x05, 'a', 'b'}},
      {"length larger than memory", {0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a'}},
      {"varint longer than ten bytes",
       {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
      {"truncated varint", {0x08, 0x80}},
      {"truncated tag", {0x80}},
      {"field number zero", {0x00, 0x01}},
      {"sub-message with a bad inner field", {0x7A, 0x02, 0x22, 0x01}},  // consent (tag 15)
      {"unknown field with a bad length", {0xF8, 0x06, 0x01, 0xFA, 0x06, 0x09, 0x00}},
      {"end-group wire type", {0x0C}},
      // A nanopb string ends at its first NUL: refused rather than silently cut short.
      {"NUL inside a string", {0x12, 0x03, 'a', 0x00, 'b'}},
      {"NUL inside a nested string", {0x22, 0x04, 0x0A, 0x02, 'a', 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(APMPBMeasurementConfig::fromBuffer(c.bytes), nullptr);
  }
}

TEST(DecodingSafety, NulInRepeatedStringsIsRefused) {
  EXPECT_NE(APMPBStringFilter::fromBuffer(Bytes{0x22, 0x02, 'a', 'b'}), nullptr);
  EXPECT_EQ(APMPBStringFilter::fromBuffer(Bytes{0x22, 0x02, 'a', 'b', 0x22, 0x02, 'a', 0x00}),
            nullptr);
}

// Each message type is checked by its own fields, whichever type a thread decoded before: tag 4
// is a setting (a sub-message) in a configuration and a string in a string filter, and a
// sub-message may hold a zero byte where a string may not.
TEST(DecodingSafety, EachTypeIsCheckedByItsOwnFieldsWhateverWasDecodedBefore) {
  const Bytes emptySettingName = {0x22, 0x02, 0x0A, 0x00};
  const Bytes nulString = {0x22, 0x02, 'a', 0x00};
  for (const bool filterFirst : {true, false}) {
    SCOPED_TRACE(filterFirst ? "a string filter first" : "a configuration first");
    // A thread of its own: nothing decoded on it before.
    std::thread([&] {
      if (filterFirst) {
        EXPECT_EQ(APMPBStringFilter::fromBuffer(nulString), nullptr);
      }
      auto config = APMPBMeasurementConfig::fromBuffer(emptySettingName);
      ASSERT_NE(config, nullptr);
      EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBSetting>>(*config, APMPBMeasurementConfig::kSettings)
                    .value_or(std::vector<std::shared_ptr<APMPBSetting>>{})
                    .size(),
                1u);
      EXPECT_EQ(APMPBStringFilter::fromBuffer(nulString), nullptr);
      EXPECT_NE(APMPBStringFilter::fromBuffer(Bytes{0x22, 0x01, 'a'}), nullptr);
    }).join();
  }
}

TEST(DecodingSafety, UnpackedRepeatedNumbersDecode) {
  // Senders may write repeated numbers unpacked, one tag per element.
  const Bytes unpacked = {0x08, 0x01, 0x08, 0x96, 0x01, 0x10, 0x00};
  auto result = APMPBResultData::fromBuffer(unpacked);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(APMNanoGetRepeatedField<uint64_t>(*result, 0), (std::vector<uint64_t>{1, 150}));
  EXPECT_EQ(APMNanoGetRepeatedField<uint64_t>(*result, 1), (std::vector<uint64_t>{0}));
}

TEST(DecodingSafety, NestingDepthIsBounded) {
  auto atLimit = APMPBRuntimeEntity::fromBuffer(nestedEntity(kNANOMaxNestingDepth));
  ASSERT_NE(atLimit, nullptr);
  EXPECT_EQ(APMPBRuntimeEntity::fromBuffer(nestedEntity(kNANOMaxNestingDepth + 1)), nullptr);
  // Deep enough to overflow the stack of a recursive decoder without the bound.
  EXPECT_EQ(APMPBRuntimeEntity::fromBuffer(nestedEntity(200000)), nullptr);

  // The depth counts from the outermost message: a program adds one level.
  auto program = [](int depth) {
    const Bytes entity = nestedEntity(depth);
    Bytes bytes = {0x0A};  // field 1 ("instructions"), length-delimited
    appendVarint(bytes, entity.size());
    bytes.insert(bytes.end(), entity.begin(), entity.end());
    return bytes;
  };
  EXPECT_EQ(APMPBProgram::fromBuffer(program(kNANOMaxNestingDepth)), nullptr);
  EXPECT_NE(APMPBProgram::fromBuffer(program(kNANOMaxNestingDepth - 1)), nullptr);
}

TEST(DecodingSafety, RepeatedFieldCountIsBounded) {
  // nanopb counts elements in 16 bits; one more element than that must fail, not wrap.
  auto packed = [](size_t count) {
    Bytes bytes = {0x0A};
    appendVarint(bytes, count);
    bytes.insert(bytes.end(), count, 0x01);
    return bytes;
  };
  EXPECT_EQ(APMPBResultData::fromBuffer(packed(static_cast<size_t>(PB_SIZE_MAX) + 1)), nullptr);
  auto atLimit = APMPBResultData::fromBuffer(packed(PB_SIZE_MAX));
  ASSERT_NE(atLimit, nullptr);
  EXPECT_EQ(APMNanoGetRepeatedField<uint64_t>(*atLimit, 0)->size(),
            static_cast<size_t>(PB_SIZE_MAX));
}

std::vector<Bytes> corpusSeeds() {
  const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus";
  std::vector<Bytes> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return seeds;
}

// A fixed pseudo-random walk of mutations over the fuzzing corpus, so every run checks the same
// inputs.
TEST(DecodingSafety, DeterministicCorpusMutations) {
  const std::vector<Bytes> seeds = corpusSeeds();
  ASSERT_GE(seeds.size(), 3u);
  uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  size_t decoded = 0;
  for (const Bytes& seed : seeds) {
    ASSERT_TRUE(fuzzcheck::checkNetworkMessages(seed.data(), seed.size()).empty());
    for (int round = 0; round < 2500; ++round) {
      Bytes input = seed;
      const int edits = 1 + static_cast<int>(next() % 4);
      for (int edit = 0; edit < edits && !input.empty(); ++edit) {
        const size_t at = next() % input.size();
        switch (next() % 5) {
          case 0: input[at] ^= static_cast<uint8_t>(1u << (next() % 8)); break;
          case 1: input[at] = static_cast<uint8_t>(next()); break;
          case 2: input.resize(at); break;
          case 3: input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(next())); break;
          default: {
            const Bytes& other = seeds[next() % seeds.size()];
            const size_t from = next() % other.size();
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                         other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
          }
        }
      }
      const std::string problem = fuzzcheck::checkNetworkMessages(input.data(), input.size());
      ASSERT_TRUE(problem.empty()) << problem << " (seed " << &seed - seeds.data() << ", round "
                                   << round << ")";
      decoded += APMPBMeasurementConfig::fromBuffer(input) != nullptr;
    }
  }
  // The walk must reach both outcomes, or it tests nothing.
  EXPECT_GT(decoded, 0u);
  EXPECT_LT(decoded, seeds.size() * 2500);
}

}  // namespace
