// A screen's own parameters ("_si", "_sc", "_sn"), which every event logged while it is current
// carries: made once from the screen's name, class and instance, and the same for its copies.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ScreenView/APMScreen.h"

namespace {

TEST(ScreenTest, AScreensParametersComeFromItsOwnNameClassAndInstance) {
  const struct {
    const char* what;
    std::optional<std::string> name, className;
    int64_t instanceID;
    platform::Dictionary expected;
  } cases[] = {
      {"name and class", "Home", "HomeViewController", 7,
       {{"_si", int64_t{7}}, {"_sc", "HomeViewController"}, {"_sn", "Home"}}},
      {"name only", "Cart", std::nullopt, 8, {{"_si", int64_t{8}}, {"_sn", "Cart"}}},
      {"class only", std::nullopt, "CartView", 9, {{"_si", int64_t{9}}, {"_sc", "CartView"}}},
      {"empty name and class", "", "", 10, {{"_si", int64_t{10}}}},
      {"neither, a negative instance", std::nullopt, std::nullopt, -3, {{"_si", int64_t{-3}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    APMScreen screen(c.name, c.className, c.instanceID);
    ASSERT_TRUE(screen.currentParameters());
    EXPECT_EQ(*screen.currentParameters(), c.expected);
    EXPECT_EQ(APMCurrentScreenParameters(screen), c.expected);
    // Handed on as an object that shares them (a screen change announces the screen so).
    EXPECT_EQ(screen.currentParametersObject(), platform::Object(c.expected));
    EXPECT_EQ(screen.currentParametersObject().asDictionary(), screen.currentParameters().get());
    // A copy is another screen with the same name, class and instance: the same parameters.
    auto copy = screen.copy();
    EXPECT_EQ(*copy->currentParameters(), c.expected);
  }
}

}  // namespace
