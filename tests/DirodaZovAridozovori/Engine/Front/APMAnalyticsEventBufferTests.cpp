// The compact form of waiting events: every value kind comes back as it went in, events come back
// in order across chunk boundaries, and chunks are released as they are read.
#include <gtest/gtest.h>

#include "Front/APMAnalyticsEventBuffer.h"

namespace {

platform::Dictionary everyKind() {
  return {
      {"null", platform::Object()},
      {"false", platform::Object(false)},
      {"true", platform::Object(true)},
      {"int", platform::Object(static_cast<int64_t>(-9007199254740993LL))},
      {"max", platform::Object(INT64_MAX)},
      {"double", platform::Object(-0.1)},
      {"string", platform::Object(std::string("na\0me\xc3\xa9", 7))},
      {"empty", platform::Object("")},
      {"data", platform::Object(platform::Data{0, 255, 10})},
      {"date", platform::Object(platform::Date{1699956000.25})},
      {"items", platform::Object(platform::Array{
                    platform::Object(platform::Dictionary{{"item_id", platform::Object("a")},
                                                          {"price", platform::Object(2.5)}}),
                    platform::Object(platform::Array{})})},
      {std::string(300, 'k'), platform::Object(std::string(200, 'v'))},
  };
}

TEST(APMAnalyticsEventBufferTest, EveryValueKindComesBackUnchanged) {
  APMAnalyticsEventBuffer buffer;
  platform::Dictionary screen{{"_sn", platform::Object("Home")}, {"_si", platform::Object(3)}};
  buffer.append("app", true, "purchase", everyKind(), 1699956000.125, &screen);
  buffer.append("auto", false, "_e", {}, 7, nullptr);
  ASSERT_EQ(buffer.count(), 2u);

  auto first = buffer.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->origin, "app");
  EXPECT_TRUE(first->isPublicEvent);
  EXPECT_EQ(first->name, "purchase");
  EXPECT_EQ(first->timestamp, 1699956000.125);
  ASSERT_TRUE(first->addedScreenParameters);
  EXPECT_EQ(*first->addedScreenParameters, screen);
  const platform::Dictionary parameters = first->parameters.dictionary();
  ASSERT_EQ(parameters.size(), everyKind().size());
  for (const auto& [key, value] : everyKind()) {
    SCOPED_TRACE(key);
    const auto& back = parameters.at(key);
    EXPECT_EQ(back.kind(), value.kind());  // an integer stays an integer, a boolean a boolean
    EXPECT_EQ(back, value);
  }
  auto second = buffer.next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->origin, "auto");
  EXPECT_FALSE(second->isPublicEvent);
  EXPECT_TRUE(second->parameters.empty());
  EXPECT_FALSE(second->addedScreenParameters);
  EXPECT_FALSE(buffer.next());
  EXPECT_TRUE(buffer.empty());
}

TEST(APMAnalyticsEventBufferTest, ManyEventsComeBackInOrderAndChunksAreReleased) {
  APMAnalyticsEventBuffer buffer;
  constexpr int kEvents = 5000;
  const std::string big(APMAnalyticsEventBuffer::kChunkBytes + 10, 'b');  // larger than one chunk
  for (int i = 0; i < kEvents; ++i) {
    platform::Dictionary parameters{{"seq", platform::Object(i)}, {"label", platform::Object("level_complete")}};
    if (i == 1234) parameters["big"] = platform::Object(big);
    buffer.append("app", true, "e" + std::to_string(i % 7), parameters, i, nullptr);
  }
  size_t peak = buffer.bytes();
  EXPECT_GT(peak, static_cast<size_t>(2 * APMAnalyticsEventBuffer::kChunkBytes));
  for (int i = 0; i < kEvents; ++i) {
    auto event = buffer.next();
    ASSERT_TRUE(event) << i;
    const platform::Dictionary parameters = event->parameters.dictionary();
    ASSERT_EQ(parameters.at("seq").integerValue(), i);
    EXPECT_EQ(event->name, "e" + std::to_string(i % 7));
    EXPECT_EQ(event->timestamp, i);
    if (i == 1234) { EXPECT_EQ(parameters.at("big").stringValue(), big); }
    if (i == kEvents / 2) { EXPECT_LT(buffer.bytes(), peak); }
  }
  EXPECT_FALSE(buffer.next());
  EXPECT_EQ(buffer.bytes(), 0u);
}

// An operation's buffer holds one or two events: it must not take a whole chunk for them, while a
// batch's buffer (filled under the caller's lock) takes whole chunks from the start, and once the
// small first chunk has grown full, later chunks are whole again. Events come back in order across
// the growth.
TEST(APMAnalyticsEventBufferTest, ASmallFirstChunkGrowsAndLaterChunksAreWhole) {
  const size_t chunk = APMAnalyticsEventBuffer::kChunkBytes;
  APMAnalyticsEventBuffer batch;
  batch.append("app", true, "e", {{"seq", platform::Object(0)}}, 0, nullptr);
  EXPECT_GE(batch.bytes(), chunk);

  APMAnalyticsEventBuffer operation(512);
  operation.append("app", true, "e", {{"seq", platform::Object(0)}}, 0, nullptr);
  EXPECT_LE(operation.bytes(), 512u);
  const std::string text(100, 't');
  int appended = 1;
  while (operation.bytes() < chunk + 512) {  // past the first chunk's growth into a second chunk
    operation.append("app", true, "e", {{"seq", platform::Object(appended)}, {"text", platform::Object(text)}},
                     appended, nullptr);
    ++appended;
  }
  EXPECT_GE(operation.bytes(), 2 * chunk) << "the second chunk is made whole";
  for (int i = 0; i < appended; ++i) {
    auto event = operation.next();
    ASSERT_TRUE(event) << i;
    EXPECT_EQ(event->parameters.dictionary().at("seq").integerValue(), i);
  }
  EXPECT_FALSE(operation.next());
}

// The front takes a batch's events out by moving them: the buffer left behind must hold nothing,
// neither bytes nor a count of events it no longer has, and must stay usable.
TEST(APMAnalyticsEventBufferTest, MovedFromBufferIsEmptyAndUsable) {
  struct Case { const char* name; bool assign; int readBeforeMove; };
  for (const Case& c : {Case{"construct", false, 0}, Case{"construct after a read", false, 1},
                        Case{"assign", true, 0}, Case{"assign after a read", true, 2}}) {
    SCOPED_TRACE(c.name);
    APMAnalyticsEventBuffer source;
    for (int i = 0; i < 3; ++i) source.append("app", true, "e", {{"seq", platform::Object(i)}}, i, nullptr);
    for (int i = 0; i < c.readBeforeMove; ++i) ASSERT_TRUE(source.next());

    APMAnalyticsEventBuffer target;
    if (c.assign) {
      target.append("app", true, "replaced", {}, 0, nullptr);
      target = std::move(source);
    } else {
      target = APMAnalyticsEventBuffer(std::move(source));
    }

    EXPECT_EQ(source.count(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_TRUE(source.empty());
    EXPECT_EQ(source.bytes(), 0u);
    EXPECT_FALSE(source.next());
    source.append("app", false, "again", {}, 9, nullptr);
    EXPECT_EQ(source.next().value().name, "again");
    EXPECT_FALSE(source.next());

    ASSERT_EQ(target.count(), static_cast<size_t>(3 - c.readBeforeMove));
    for (int i = c.readBeforeMove; i < 3; ++i) EXPECT_EQ(target.next().value().parameters.dictionary().at("seq").integerValue(), i);
    EXPECT_FALSE(target.next());
  }
}

// The events logged on one screen share the front's snapshot of it: each comes back with the very
// snapshot it was appended with, whatever came between (none, another screen, the same again), also
// across a move of the buffer, and what it held, counted as it was appended, is what it gives back.
TEST(APMAnalyticsEventBufferTest, EachEventComesBackWithTheScreenItWasAppendedWith) {
  auto home = std::make_shared<const platform::Dictionary>(
      platform::Dictionary{{"_sn", platform::Object("Home")}, {"_si", platform::Object(1)}});
  auto cart = std::make_shared<const platform::Dictionary>(
      platform::Dictionary{{"_sn", platform::Object("Cart")}, {"_sc", platform::Object("CartView")}});
  auto homeAgain = std::make_shared<const platform::Dictionary>(*home);  // equal, but another snapshot
  auto empty = std::make_shared<const platform::Dictionary>();
  const std::shared_ptr<const platform::Dictionary> screens[] = {home, home, nullptr, home,  cart, cart,
                                                                 empty, cart, homeAgain, home, nullptr};
  constexpr size_t kMovedAfter = 5;  // appended before the move, read after it
  std::string encoded;
  APMAnalyticsEventBuffer first;
  APMAnalyticsEventBuffer buffer;
  size_t held = 0;
  size_t given = 0;
  for (size_t i = 0; i < std::size(screens); ++i) {
    APMAnalyticsEventBuffer::encode(encoded, "app", true, "e", {{"seq", platform::Object(static_cast<int64_t>(i))}});
    held += APMAnalyticsEventBuffer::heldSize(encoded, screens[i]);
    (i < kMovedAfter ? first : buffer).append(encoded, static_cast<double>(i), screens[i]);
    if (i + 1 == kMovedAfter) {
      const APMBufferedEvent read = first.next().value();  // one read before the move
      ASSERT_EQ(read.addedScreenParameters, home);
      given = read.bytes;
      buffer = std::move(first);
    }
  }
  for (size_t i = 1; i < std::size(screens); ++i) {
    SCOPED_TRACE(i);
    auto event = buffer.next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->parameters.dictionary().at("seq").integerValue(), static_cast<int64_t>(i));
    const auto& expected = screens[i] && !screens[i]->empty() ? screens[i] : nullptr;
    EXPECT_EQ(event->addedScreenParameters, expected);  // the very snapshot, not an equal copy
    given += event->bytes;
  }
  EXPECT_FALSE(buffer.next());
  EXPECT_EQ(given, held);
  EXPECT_GT(APMAnalyticsEventBuffer::heldSize(encoded, cart), APMAnalyticsEventBuffer::heldSize(encoded, nullptr));
}

}  // namespace
