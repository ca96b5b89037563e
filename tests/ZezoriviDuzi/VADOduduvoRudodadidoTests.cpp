#include "VADOduduvoRudodadido.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VADOduduvoRudodadidoTest, ConcurrentWritersAndReadersThenRemovalAndSnapshots) {
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

  // A null value removes the key; a snapshot does not follow later changes.
  auto snapshot = dictionary.dictionary();
  dictionary.setObject(std::nullopt, "0:0");
  dictionary.removeObjectForKey("0:1");
  EXPECT_FALSE(dictionary.objectForKeyedSubscript("0:0").has_value());
  EXPECT_EQ(dictionary.count(), 998u);
  EXPECT_EQ(snapshot.size(), 1000u);
}

}  // namespace
