#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using platform::Notification;
using platform::NotificationCenter;

int senderA = 0;
int senderB = 0;

TEST(NotificationCenterTest, ObserversMatchOnNameAndSender) {
  struct Case {
    const char* label;
    std::string observedName, postedName;
    const void *observedSender, *postedSender;
    bool delivered;
  } cases[] = {
      {"same name, any sender", "ready", "ready", nullptr, &senderA, true},
      {"other name", "ready", "delete", nullptr, &senderA, false},
      {"same name, matching sender", "ready", "ready", &senderA, &senderA, true},
      {"same name, other sender", "ready", "ready", &senderA, &senderB, false},
      {"sender filter, posted without sender", "ready", "ready", &senderA, nullptr, false},
      {"every name", "", "anything", nullptr, &senderB, true},
  };
  for (const auto& c : cases) {
    NotificationCenter center;
    int calls = 0;
    center.addObserver(c.observedName, c.observedSender, nullptr, [&](const Notification&) { ++calls; });
    center.post(c.postedName, c.postedSender);
    EXPECT_EQ(calls, c.delivered ? 1 : 0) << c.label;
  }
}

TEST(NotificationCenterTest, QueuedObserversRunOnTheirQueueUnlessRemovedBeforeItRuns) {
  NotificationCenter center;
  auto queue = platform::DispatchQueue::create("test.notifications");
  std::atomic<int> calls{0};
  std::atomic<bool> onQueue{false};
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification& n) {
    onQueue = queue->isCurrent() && n.userInfo.at("k").integerValue() == 5;
    ++calls;
  });
  center.post("n", nullptr, {{"k", 5}});
  queue->sync([] {});
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(onQueue.load());

  queue->suspend();
  center.post("n");
  center.removeObserver(token);
  queue->resume();
  queue->sync([] {});
  EXPECT_EQ(calls.load(), 1);
}

// Handlers may post, and remove themselves or others, during a post; a removed observer is not
// called, not even later in the same post.
TEST(NotificationCenterTest, HandlersMayPostAndRemoveObserversDuringAPost) {
  NotificationCenter center;
  std::vector<std::string> order;
  NotificationCenter::Token self = 0;
  NotificationCenter::Token later = 0;
  self = center.addObserver("outer", nullptr, nullptr, [&](const Notification&) {
    order.push_back("outer");
    center.removeObserver(self);
    center.removeObserver(later);
    center.post("inner");
  });
  later = center.addObserver("outer", nullptr, nullptr, [&](const Notification&) { order.push_back("later"); });
  center.addObserver("inner", nullptr, nullptr, [&](const Notification&) { order.push_back("inner"); });
  center.post("outer");
  center.post("outer");
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner"}));
  EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRegistrationsLoseNoDelivery) {
  NotificationCenter center;
  std::atomic<int> stable{0};
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++stable; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        auto token = center.addObserver("n", nullptr, nullptr, [](const Notification&) {});
        center.post("n");
        center.removeObserver(token);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stable.load(), 4 * 300);
  EXPECT_EQ(center.observerCount(), 1u);
}

}  // namespace
