#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "APMScheduler.h"
#include "CoreTestFixture.h"

namespace {

class APMSchedulerTest : public CoreTest {
 protected:
  APMScheduler scheduler_{APMScheduler::kMeasurementWorkerQueueLabel};
  void drain() { scheduler_.workerQueue()->sync([] {}); }
};

}  // namespace

TEST_F(APMSchedulerTest, ExceptionsInAsyncBlocksAreLoggedAndTheQueueCarriesOn) {
  struct Row { const char* name; std::function<void()> thrower; std::string context; };
  const Row rows[] = {
      {"platform exception", [] { throw platform::Exception("NSInvalidArgumentException", "bad value"); },
       "NSInvalidArgumentException: bad value"},
      {"standard exception", [] { throw std::runtime_error("disk full"); }, "std::runtime_error: disk full"},
      {"anything else", [] { throw 42; }, "UnknownException: an exception of unknown type"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    clearLines();
    std::vector<int> ran;
    scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:1747", row.thrower);
    scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:2582", [&] { ran.push_back(2); });
    drain();
    EXPECT_EQ(ran, std::vector<int>{2});
    EXPECT_EQ(lines(), std::vector<std::string>{
                           line(30000, "Exception on worker queue. Block ID=APMMeasurement:1747. Exception: " + row.context)});
    // Replies that reach the worker queue on their own are guarded the same way, on the caller's thread.
    clearLines();
    EXPECT_FALSE(APMScheduler::runGuardedBlockID("APMMeasurement:fetch", row.thrower));
    EXPECT_EQ(lines(), std::vector<std::string>{
                           line(30000, "Exception on worker queue. Block ID=APMMeasurement:fetch. Exception: " + row.context)});
  }
  clearLines();
  EXPECT_TRUE(APMScheduler::runGuardedBlockID("APMMeasurement:fetch", [] {}));
  EXPECT_TRUE(lines().empty());
}

TEST_F(APMSchedulerTest, FailedSyncBlockLogsOnBothSides) {
  // The exception stays on the worker side: the caller returns normally.
  scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3406", [] { throw std::logic_error("boom"); });
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         line(30003, "Exception on worker queue when processing sync block. Block ID=APMMeasurement:3406. "
                                     "Exception: std::logic_error: boom"),
                         line(30004, "Synchronous task failed. Block ID=APMMeasurement:3406"),
                     }));
}

TEST_F(APMSchedulerTest, EmptyBlocksAreLoggedAndDropped) {
  scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:619", nullptr);
  scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3152", nullptr);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         line(30005, "Nil block dispatched asynchronously on worker queue. Block ID=APMMeasurement:619."),
                         line(30002, "Nil block dispatched synchronously on worker queue. Block ID=APMMeasurement:3152."),
                     }));
}
