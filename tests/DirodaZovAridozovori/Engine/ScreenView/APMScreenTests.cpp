// A screen's own parameters ("_si", "_sc", "_sn"), which every event logged while it is current
// carries: made once from the screen's name, class and instance, and the same for its copies.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "APMCompactParameters.h"
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

namespace {

// A screen view's parameters are written straight into the compact form: the bytes must be those
// of the dictionary the event used to be made from (the screens' entries over given ones of the same
// names), so the event read from them and the row stored are the same.
TEST(ScreenTest, AScreenViewsParametersAreTheCompactFormOfTheScreensOverTheGivenOnes) {
  const APMScreen home("Home", "HomeViewController", 41);
  const APMScreen cart("Cart", std::nullopt, 42);
  const APMScreen odd("", std::string(501, 'c'), 43);  // neither value valid
  const APMScreen emptyClass("Shop", "", 44);           // an empty class reports neither value
  const platform::Dictionary nested{{"k", "v"}};
  const struct {
    const char* what;
    const APMScreen* left;
    const APMScreen& shown;
    std::optional<platform::Dictionary> given;
    std::optional<int64_t> engagement;
    platform::Dictionary expected;
  } cases[] = {
      {"the first screen", nullptr, home, std::nullopt, std::nullopt,
       {{"_mst", 1}, {"_sc", "HomeViewController"}, {"_si", 41}, {"_sn", "Home"}}},
      {"a screen left, with engagement", &home, cart, platform::Dictionary{}, 3000,
       {{"_et", 3000}, {"_mst", 1}, {"_pc", "HomeViewController"}, {"_pi", 41}, {"_pn", "Home"}, {"_si", 42},
        {"_sn", "Cart"}}},
      {"given names around and among the screens'", &cart, home,
       platform::Dictionary{{"_err", 3}, {"_ev", "x"}, {"_et", 5}, {"_mst", 7}, {"_pn", "Given"}, {"_sn", "Given"},
                            {"_sz", 2.5}, {"a", true}, {"tab", "main"}, {"deep", nested}},
       std::nullopt,
       {{"_err", 3}, {"_ev", "x"}, {"_et", 5}, {"_mst", 1}, {"_pi", 42}, {"_pn", "Cart"}, {"_sc", "HomeViewController"},
        {"_si", 41}, {"_sn", "Home"}, {"_sz", 2.5}, {"a", true}, {"tab", "main"}, {"deep", nested}}},
      {"an engagement over a given one", nullptr, cart, platform::Dictionary{{"_et", 5}, {"z", "last"}}, 1,
       {{"_et", 1}, {"_mst", 1}, {"_si", 42}, {"_sn", "Cart"}, {"z", "last"}}},
      {"invalid values left out", &odd, emptyClass, std::nullopt, std::nullopt,
       {{"_mst", 1}, {"_pi", 43}, {"_si", 44}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes;
    APMPutScreenViewParameters(bytes, c.left, c.shown, c.given ? &*c.given : nullptr, c.engagement);
    EXPECT_EQ(bytes, APMCompactParameters(c.expected).bytes());
    EXPECT_EQ(APMCompactParameters::fromBytes(bytes).dictionary(), c.expected);
  }
}

}  // namespace
