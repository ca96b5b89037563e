#include "VADOduduvoRudodadido.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VADOduduvoRudodadidoTest, SubscriptsSetRemoveAndCopy) {
  VADOduduvoRudodadido<> dictionary;
  EXPECT_FALSE(dictionary.objectForKeyedSubscript("a").has_value());
  dictionary.setObject(platform::Object(1), "a");
  dictionary.setObject(platform::Object("two"), "b");
  EXPECT_EQ(dictionary.objectForKeyedSubscript("a")->integerValue(), 1);

  auto snapshot = dictionary.dictionary();
  dictionary.setObject(std::nullopt, "a");
  EXPECT_FALSE(dictionary.objectForKeyedSubscript("a").has_value());
  EXPECT_EQ(snapshot.size(), 2u);  // the copy does not follow later changes
  dictionary.removeObjectForKey("b");
  EXPECT_EQ(dictionary.count(), 0u);
}

TEST(VADOduduvoRudodadidoTest, ConcurrentWritersAndReaders) {
  VADOduduvoRudodadido<> dictionary;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) {
        std::string key = std::to_string(t) + ":" + std::to_string(i);
        dictionary.setObject(platform::Object(i), key);
        auto value = dictionary.objectForKeyedSubscript(key);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->integerValue(), i);
        dictionary.dictionary();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dictionary.count(), 1000u);
}

}  // namespace
