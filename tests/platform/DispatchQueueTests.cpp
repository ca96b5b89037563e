#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/DispatchQueue.h"
#include "platform/Semaphore.h"
#include "platform/Timer.h"

using platform::DispatchQueue;

// Blocks from many threads, sync and async mixed, run one at a time, none lost, and each thread's
// blocks in the order it sent them; a sync block waits for the earlier ones, then runs on its caller.
TEST(DispatchQueue, ManyThreadsSyncAndAsyncInOrderOneAtATime) {
  auto queue = DispatchQueue::create("test.stress");
  std::vector<std::vector<int>> seen(4);  // guarded by the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> misplaced{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const bool sync = (i + t) % 3 == 0;
        auto block = [&, t, i, sync, caller = std::this_thread::get_id()] {
          if (running.fetch_add(1) != 0) overlapped = true;
          if (!queue->isCurrent() || (sync && std::this_thread::get_id() != caller)) misplaced = true;
          seen[t].push_back(i);
          running.fetch_sub(1);
        };
        if (sync) queue->sync(block);
        else queue->async(block);
      }
    });
  }
  for (auto& t : threads) t.join();
  queue->sync([] {});
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(misplaced);
  EXPECT_FALSE(queue->isCurrent());
  for (const auto& one : seen) {
    ASSERT_EQ(one.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(one[i], i);
  }
}

TEST(DispatchQueue, NestedSyncOnSameQueueRunsInline) {
  auto a = DispatchQueue::create("test.a");
  auto b = DispatchQueue::create("test.b");
  int depth = 0;
  platform::Semaphore done;
  a->async([&] {
    a->sync([&] {
      ++depth;
      b->sync([&] {
        // Back onto a from inside b: a is held by this thread, so this runs inline too.
        a->sync([&] { ++depth; });
        EXPECT_EQ(DispatchQueue::currentLabel(), "test.b");
      });
    });
    done.signal();
  });
  ASSERT_TRUE(done.wait(5));
  EXPECT_EQ(depth, 2);
}

// A thread inside nested blocks is on every queue of the nesting and on none it has left, asked
// at each level on the way in (a sync back onto an outer queue runs inline) and on the way out.
TEST(DispatchQueue, NestedBlocksAreOnEveryQueueOfTheNestingAndOnNoneTheyLeft) {
  auto a = DispatchQueue::create("test.nest.a");
  auto b = DispatchQueue::create("test.nest.b");
  auto c = DispatchQueue::create("test.nest.c");
  std::vector<std::string> seen;
  auto note = [&](const char* at) {
    seen.push_back(std::string(at) + ":" + (a->isCurrent() ? "a" : "") + (b->isCurrent() ? "b" : "") +
                   (c->isCurrent() ? "c" : ""));
  };
  a->sync([&] {
    note("in a");
    b->sync([&] {
      note("in b");
      c->sync([&] {
        note("in c");
        a->sync([&] { note("a again"); });
      });
      note("back in b");
    });
    note("back in a");
  });
  note("outside");
  c->async([&] { b->sync([&] { note("async c, in b"); }); });
  c->sync([] {});
  EXPECT_EQ(seen, (std::vector<std::string>{"in a:a", "in b:ab", "in c:abc", "a again:abc", "back in b:ab",
                                            "back in a:a", "outside:", "async c, in b:bc"}));
}

TEST(DispatchQueue, ExceptionsAreReportedAndTheQueueCarriesOn) {
  std::vector<std::string> reports;
  std::mutex m;
  platform::setBlockExceptionHandler([&](const std::string& label, const std::string& what) {
    std::lock_guard<std::mutex> lock(m);
    reports.push_back(label + "|" + what);
  });
  auto queue = DispatchQueue::create("test.throw");
  bool ranAfter = false;
  queue->async([] { throw std::runtime_error("boom"); });
  queue->async([&] { ranAfter = true; });
  queue->sync([] { throw std::logic_error("sync boom"); });
  queue->sync([] {});
  platform::setBlockExceptionHandler(nullptr);
  EXPECT_TRUE(ranAfter);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], "test.throw|boom");
  EXPECT_EQ(reports[1], "test.throw|sync boom");
}

// Blocks sent to the main queue run only when the host drains it; sync onto it from another thread
// waits for the drainer, then runs on the calling thread while the main queue is held.
TEST(DispatchQueue, MainQueueRunsOnlyWhenDrained) {
  auto& main = DispatchQueue::main();
  std::atomic<bool> ran{false};
  std::thread::id syncRanOn;
  std::thread other([&] { main->async([&] { ran = true; }); });
  other.join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(testsupport::waitFor([&] { return ran.load(); }, 2));

  std::atomic<bool> done{false};
  std::thread syncer([&] {
    main->sync([&] { syncRanOn = std::this_thread::get_id(); });
    done = true;
  });
  const std::thread::id syncerID = syncer.get_id();
  EXPECT_TRUE(testsupport::waitFor([&] { return done.load(); }, 5));
  syncer.join();
  EXPECT_EQ(syncRanOn, syncerID);
}

// Delays follow the installed clock, not the wall clock; a cancelled timer never fires.
TEST(TimerService, DelaysFollowTheFakeClockAndCancelledTimersNeverFire) {
  testsupport::ScopedFakeClock clock;
  auto queue = DispatchQueue::create("test.after");
  auto& timers = platform::TimerService::shared();
  std::atomic<int> fired{0};
  queue->after(30, [&] { fired += 100; });
  auto cancelled = timers.schedule(10, [&] { ++fired; });
  auto kept = timers.schedule(10, [&] { fired += 10; });
  EXPECT_TRUE(timers.cancel(cancelled));
  EXPECT_FALSE(timers.cancel(cancelled));
  clock->advance(11);
  EXPECT_TRUE(testsupport::waitFor([&] { return fired.load() != 0; }, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // room for a wrong firing to show
  EXPECT_EQ(fired.load(), 10);
  EXPECT_FALSE(timers.cancel(kept));
  clock->advance(20);
  EXPECT_TRUE(testsupport::waitFor([&] { return fired.load() == 110; }, 5));
}

// Stopping for the end of the process: the running block may finish, waiting blocks are dropped,
// later ones refused, and sync still runs its block on the caller, as the queue.
TEST(DispatchQueue, StopLetsTheRunningBlockFinishAndRunsNothingElse) {
  auto queue = DispatchQueue::create("test.stop");
  platform::Semaphore running, release;
  std::atomic<int> ran{0};
  queue->async([&] {
    running.signal();
    release.wait(30);
    ++ran;
  });
  queue->async([&] { ran += 10; });
  ASSERT_TRUE(running.wait(30));
  // Released once stop() has dropped the waiting block (which cannot start before).
  std::thread releaser([&] {
    testsupport::waitFor([&] { return queue->pendingCount() == 0; });
    release.signal();
  });
  EXPECT_TRUE(queue->stop(30));
  releaser.join();
  EXPECT_EQ(ran.load(), 1) << "the running block finished, the waiting one was dropped";
  queue->async([&] { ran += 100; });
  bool onQueue = false;
  queue->sync([&] { onQueue = queue->isCurrent(); });
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(queue->pendingCount(), 0u);
}

// A block that does not finish in time is left to its thread: stopping stays bounded.
TEST(DispatchQueue, StopAllGivesUpOnABlockThatOutlastsTheWait) {
  auto quick = DispatchQueue::create("test.stop.quick");
  auto stuck = DispatchQueue::create("test.stop.stuck");
  auto release = std::make_shared<platform::Semaphore>();
  auto started = std::make_shared<platform::Semaphore>();
  quick->async([] {});
  stuck->async([release, started] {
    started->signal();
    release->wait(30);
  });
  ASSERT_TRUE(started->wait(30));
  EXPECT_FALSE(DispatchQueue::stopAll(0.05));
  release->signal();
  bool ranInline = false;
  stuck->sync([&] { ranInline = true; });  // waits for the stuck block, then runs here
  EXPECT_TRUE(ranInline);
}

// The exit stops every queue while another thread releases one of them: whichever of the two
// takes the queue's thread joins it and the other leaves it (both joining it aborted the process).
TEST(DispatchQueue, AQueueReleasedWhileEveryQueueStopsHasItsThreadJoinedOnce) {
  for (int round = 0; round < 10; ++round) {
    auto queue = DispatchQueue::create("test.stop.released");
    auto started = std::make_shared<platform::Semaphore>();
    queue->async([started] {
      started->signal();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    ASSERT_TRUE(started->wait(30));
    std::thread releaser([released = std::move(queue)]() mutable { released.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NO_THROW(DispatchQueue::stopAll(30));
    releaser.join();
  }
}

// Completions keep arriving for the main queue while the host quits: the queue must outlive the
// statics that exit tears down.
TEST(DispatchQueueExit, BlocksSentToTheMainQueueDuringExitAreSafe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::Semaphore started;
        std::thread([&started] {
          started.signal();
          for (;;) platform::DispatchQueue::main()->async([] {});
        }).detach();
        started.wait();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
