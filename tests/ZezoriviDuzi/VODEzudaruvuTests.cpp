#include "VODEzudaruvu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

namespace {

struct Widget {
  explicit Widget(int v) : value(v) {}
  int value;
};

std::shared_ptr<VODEzudaruvu> widgetComponent(const std::string& protocol, VODEzudaruvuInstantiationTiming timing,
                                              std::atomic<int>& created, bool cacheable) {
  return VODEzudaruvu::componentWithProtocol(protocol, timing, [&created, cacheable](VODEzudaruvuContainer&, bool* cache) {
    *cache = cacheable;
    return std::any(std::make_shared<Widget>(++created));
  });
}

TEST(VODEzudaruvuTest, LazyComponentsAreCreatedOnFirstLookupAndCachedWhenAllowed) {
  std::atomic<int> cachedCount{0};
  std::atomic<int> freshCount{0};
  VODEzudaruvuContainer container({}, {widgetComponent("Cached", VODEzudaruvuInstantiationTiming::Lazy, cachedCount, true),
                                       widgetComponent("Fresh", VODEzudaruvuInstantiationTiming::Lazy, freshCount, false)});
  auto first = container.instanceForProtocol<Widget>("Cached");
  ASSERT_TRUE(first);
  EXPECT_EQ(container.instanceForProtocol<Widget>("Cached"), first);
  EXPECT_EQ(cachedCount.load(), 1);
  EXPECT_NE(container.instanceForProtocol<Widget>("Fresh"), container.instanceForProtocol<Widget>("Fresh"));
  EXPECT_EQ(freshCount.load(), 2);

  container.removeAllCachedInstances();
  EXPECT_NE(container.instanceForProtocol<Widget>("Cached"), first);
}

TEST(VODEzudaruvuTest, EagerTimingsFollowTheDefaultApp) {
  using Timing = VODEzudaruvuInstantiationTiming;
  const std::tuple<Timing, bool, int> cases[] = {  // timing, is the default app, created at configure
      {Timing::Lazy, true, 0}, {Timing::AlwaysEager, false, 1}, {Timing::EagerInDefaultApp, true, 1},
      {Timing::EagerInDefaultApp, false, 0}};
  for (const auto& [timing, isDefaultApp, createdAtConfigure] : cases) {
    std::atomic<int> created{0};
    VODEzudaruvuContainer container({}, {widgetComponent("P", timing, created, true)});
    container.instantiateEagerComponents(isDefaultApp);
    EXPECT_EQ(created.load(), createdAtConfigure) << static_cast<int>(timing) << " " << isDefaultApp;
  }
}

TEST(VODEzudaruvuTest, LookupsCheckTheTypeAndCreationBlocksMayResolveDependencies) {
  std::atomic<int> created{0};
  auto dependent = VODEzudaruvu::componentWithProtocol("Dependent", [](VODEzudaruvuContainer& container, bool* cache) {
    *cache = true;
    auto base = container.instanceForProtocol<Widget>("Base");
    return std::any(std::make_shared<Widget>(base ? base->value * 10 : -1));
  });
  VODEzudaruvuContainer container(
      {}, {dependent, widgetComponent("Base", VODEzudaruvuInstantiationTiming::Lazy, created, true),
           // A second claim of a protocol is ignored.
           VODEzudaruvu::componentWithProtocol("Base", [](VODEzudaruvuContainer&, bool*) {
             return std::any(std::make_shared<Widget>(99));
           })});
  auto widget = VODEzudaruvuType<Widget>::instanceForProtocol("Dependent", container);
  ASSERT_TRUE(widget);
  EXPECT_EQ(widget->value, 10);
  EXPECT_EQ(container.instanceForProtocol<std::string>("Base"), nullptr);
  EXPECT_FALSE(container.instanceForProtocol("Unknown").has_value());
}

TEST(VODEzudaruvuTest, ConcurrentLookupsCreateACacheableInstanceOnce) {
  std::atomic<int> created{0};
  VODEzudaruvuContainer container({}, {widgetComponent("Shared", VODEzudaruvuInstantiationTiming::Lazy, created, true)});
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<Widget>> seen(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] { seen[t] = container.instanceForProtocol<Widget>("Shared"); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(created.load(), 1);
  for (const auto& widget : seen) EXPECT_EQ(widget, seen[0]);
}

}  // namespace
