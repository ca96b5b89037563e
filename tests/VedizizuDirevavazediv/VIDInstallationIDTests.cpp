#include <gtest/gtest.h>

#include <set>

#include "VIDInstallationID.h"

namespace {

TEST(VIDInstallationID, GeneratedIDsAre22UrlSafeCharacters) {
  std::set<std::string> seen;
  std::set<char> characters;
  for (int i = 0; i < 2000; ++i) {
    std::optional<std::string> id = VIDGenerateInstallationID();
    ASSERT_TRUE(id.has_value());
    ASSERT_EQ(id->size(), 22u) << *id;
    for (char c : *id) {
      ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') << *id;
      characters.insert(c);
    }
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 2000u) << "identifiers repeat";
  // 44000 characters drawn from 64: a generator stuck on part of the alphabet shows here.
  EXPECT_EQ(characters.size(), 64u);
}

TEST(VIDInstallationID, Validation) {
  const struct { std::string text; bool valid; } cases[] = {
      {"abcdefghijklmnopqrstuv", true},
      {"ABCDEFGHIJ0123456789-_", true},
      {"abcdefghijklmnopqrstu", false},    // 21
      {"abcdefghijklmnopqrstuvw", false},  // 23
      {"abcdefghijklmnopqrstu+", false},   // the non URL-safe alphabet
      {std::string("abcdefghij\0lmnopqrstuv", 22), false},
  };
  for (const auto& c : cases) EXPECT_EQ(VIDIsValidInstallationID(c.text), c.valid) << c.text;
}

}  // namespace
