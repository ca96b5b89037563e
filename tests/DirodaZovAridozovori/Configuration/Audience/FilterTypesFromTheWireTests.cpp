// Comparison and match types arrive from the network as plain varints and may lie anywhere in the
// int32 range. A filter decoded from such bytes is answered as its type outside the enumeration
// prescribes, and the sanitizer build fails if any reader loads the value through the enum type.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "APMPBMessages.h"
#include "Audience/APMAudienceFilterMatching.h"
#include "Audience/APMFilterForms.h"
#include "AudienceTestSupport.h"

namespace {

void appendVarint(platform::Data* out, uint64_t value) {
  for (; value >= 0x80; value >>= 7) out->push_back(static_cast<uint8_t>(value | 0x80));
  out->push_back(static_cast<uint8_t>(value));
}

// A length-delimited field of tag `tag` holding `body`.
platform::Data field(uint8_t tag, const platform::Data& body) {
  platform::Data out{static_cast<uint8_t>(tag << 3 | 2)};
  appendVarint(&out, body.size());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Filter { number_filter { comparison_type: type comparison_value: "1" } }, or
// Filter { string_filter { match_type: type expression: "ab" } }, encoded as a peer would.
platform::Data filterBytes(bool number, int32_t type) {
  platform::Data inner{0x08};  // field 1, varint
  // The 32 bits of the type: the decoder refuses the ten-byte form of a negative number.
  appendVarint(&inner, static_cast<uint32_t>(type));
  const platform::Data value = number ? platform::Data{'1'} : platform::Data{'a', 'b'};
  const platform::Data text = field(number ? 3 : 2, value);
  inner.insert(inner.end(), text.begin(), text.end());
  return field(number ? 2 : 1, inner);
}

TEST(FilterTypesFromTheWire, TypesOutsideTheEnumerationAreRefusedOrAnswerNo) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  struct Case {
    const char* name;
    bool number;
    int32_t type;
    const char* value;
    const char* expected;  // "YES", "NO", or "none" (not evaluated)
    int64_t code;          // the refusal that must be logged; 0: none
  };
  const Case cases[] = {
      // Known types evaluate, so the refusals below are about the type alone.
      {"greater than", true, 2, "2", "YES", 0},
      {"between", true, 4, "2", "none", 8009},  // no minimum or maximum on the wire
      {"comparison type just past the last", true, 5, "2", "none", 8011},
      {"comparison type 9", true, 9, "2", "none", 8011},
      {"largest comparison type", true, kMax, "2", "none", 8011},
      {"negative comparison type", true, -1, "2", "none", 8011},
      {"smallest comparison type", true, kMin, "2", "none", 8011},
      {"exact", false, 5, "ab", "YES", 0},
      {"in list", false, 6, "ab", "none", 9003},  // no list on the wire
      {"match type just past the last", false, 7, "ab", "NO", 0},
      {"match type 9", false, 9, "ab", "NO", 0},
      {"largest match type", false, kMax, "ab", "NO", 0},
      // Below the enumeration is as far outside it as above: never an exact match.
      {"negative match type", false, -1, "ab", "NO", 0},
      {"smallest match type", false, kMin, "ab", "NO", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto message = APMPBFilter::fromBuffer(filterBytes(c.number, c.type));
    ASSERT_TRUE(message);
    const APMFilterForm form = APMFilterForm::fromMessage(*message);
    CapturedAudienceLog log;
    EXPECT_EQ(outcomeText(APMMatchFilter(form, APMValue(std::string(c.value)))), c.expected);
    if (c.code == 0) {
      EXPECT_TRUE(log.codes().empty()) << "logged " << log.codes().front();
    } else {
      EXPECT_TRUE(log.contains(c.code)) << c.code << " not logged";
    }
  }
}

}  // namespace
