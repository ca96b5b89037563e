// A normal exit of the host (main returning while events are still on their way): what the API
// accepted is stored, the threads of the SDK stop before static objects go, and the database is
// closed, so its write-ahead log is empty.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "APMEExperimentRequestBuilder.h"
#include "APMEvent.h"
#include "APMEventEncoding.h"
#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMPersistedConfig.h"
#include "ChildProcess.h"
#include "DUDUravodazoInternal.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "Identity/APMPlatformIdentitySupport.h"
#include "Purchase/APMInAppPurchaseProductCache.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "Purchase/APMMicroUnits.h"
#include "Purchase/APMReceiptReader.h"
#include "ROREzo.h"
#include "TestSupport.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"
#include "platform/DispatchQueue.h"
#include "platform/Bundle.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

namespace {

constexpr const char* kEventName = "exit_event";

// The child: configures the SDK in the given data directory, logs the events through the public
// API and returns at once, so that main returns with the events still on their way. With
// APM_EXIT_AFTER_START it first waits until the engine's start-up (which opens the database) has
// run on the worker.
TEST(CleanExitTest, DISABLED_LogsAndReturnsFromMain) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as the child of the clean-exit test";
  platform::Paths::setDataDirectory(std::getenv("APM_EXIT_DIR"));
  platform::Bundle::setBundleIdentifier("com.example.host");
  platform::Bundle::setShortVersion("1.0");
  platform::Reachability::setReachable(false);  // nothing leaves the process
  APMAnalyticsOperationQueue::setExitFlushTimeLimitForTesting(std::stod(std::getenv("APM_EXIT_LIMIT")));
  DUDUravodazoInternal::registerAnalyticsStart();
  ROREzo::configureWithOptions(VEZUzaduzo("1:1234567890:macos:abcdef", "1234567890"));
  if (std::getenv("APM_EXIT_AFTER_START")) {
    ASSERT_TRUE(testsupport::waitFor([] { return APMEngineRegistry::hasSharedInstance(); }, 60));
    auto engine = APMEngineRegistry::sharedInstance();
    // The start-up was queued on the worker when the engine was made: this waits for it.
    engine->setup().scheduler->workerQueue()->sync([] {});
    ASSERT_TRUE(engine->collection().isEnabled());
  }
  const int events = std::atoi(std::getenv("APM_EXIT_EVENTS"));
  for (int i = 0; i < events; ++i) DUDUravodazo::logEventWithName(kEventName, {{"seq", platform::Object(i)}});
}

// The child for a caller waiting for room as main returns: the worker is held past the end of the
// process, so no room is ever made; one thread logs until it waits, and says so when its call
// returns after waiting half a second or more.
TEST(CleanExitTest, DISABLED_WaitsForRoomWhenMainReturns) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as the child of the waiting-caller test";
  platform::Paths::setDataDirectory(std::getenv("APM_EXIT_DIR"));
  platform::Bundle::setBundleIdentifier("com.example.host");
  platform::Bundle::setShortVersion("1.0");
  platform::Reachability::setReachable(false);
  APMAnalyticsOperationQueue::setExitFlushTimeLimitForTesting(1);
  APMAnalyticsOperationQueue::setEventRoadOptions(APMEventRoadOptions{256});
  DUDUravodazoInternal::registerAnalyticsStart();
  ROREzo::configureWithOptions(VEZUzaduzo("1:1234567890:macos:abcdef", "1234567890"));
  ASSERT_TRUE(testsupport::waitFor([] { return APMEngineRegistry::hasSharedInstance(); }, 20));
  APMEngineRegistry::sharedInstance()->setup().scheduler->workerQueue()->async(
      [] { std::this_thread::sleep_for(std::chrono::seconds(20)); });
  std::thread([] {
    for (int i = 0; i < 100000; ++i) {
      const auto start = std::chrono::steady_clock::now();
      DUDUravodazo::logEventWithName(kEventName, {{"seq", platform::Object(i)}});
      if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(500)) {
        testsupport::sendToParent("returned");
        return;
      }
    }
  }).detach();
  ASSERT_TRUE(testsupport::waitFor([] { return APMAnalyticsOperationQueue::eventRoadStatistics().waits > 0; }, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  testsupport::sendToParent("waiting");
}

// What the SDK's threads read of the process-wide state besides the platform's: the shared
// instances, the handler a throwing block reports to, and the tables of the purchase reader. Each
// reading is false when it sees something it did not expect.
std::vector<std::function<bool()>> sharedStateReadings() {
  // A capture too large for the handler's inline room, so the handler lives on the heap.
  const std::string handlerText(64, 'h');
  platform::setBlockExceptionHandler([handlerText](const std::string&, const std::string&) {});
  auto queue = platform::DispatchQueue::create("exit.reader");
  // One purchase record's start, then nothing the field patterns match.
  platform::Data receipt{0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04};
  receipt.resize(64, 0);
  return {
      [] { return APMPersistedConfig::sharedInstance() != nullptr; },
      [] { return APMIdentity::sharedInstance() != nullptr; },
      [] { return APMIdentifiers::sharedInstance() != nullptr; },
      [] { return APMDefaultIdentitySupport::sharedInstance() != nullptr; },
      [] { return APMPlatformIdentitySupport::sharedInstance() != nullptr; },
      [] { return APMInAppPurchaseProductCache::sharedInstance() != nullptr; },
      [] { return APMInAppPurchaseTransactionReporter::sharedInstance() != nullptr; },
      [] { return APMEExperimentRequestBuilder::sharedInstance() != nullptr; },
      [] { return VIDAdodaradadivi::installations() != nullptr; },
      [queue] {
        queue->sync([] { throw std::runtime_error("thrown at exit"); });
        return true;
      },
      // At the largest 64-bit value, so the range check compares every digit.
      [] {
        return APMMicroUnitsFromText("9223372036854.775807", APMMicroUnitsRounding::TowardZero) ==
               INT64_C(9223372036854775807);
      },
      [receipt] {
        auto items = APMReceiptReaderPurchaseItems(receipt);
        return items.has_value() && items->size() == 1;
      },
  };
}

// The child for the state an SDK thread reads until the end: a thread keeps reading the data
// directory, the arguments and the SDK's shared state while main returns and the static objects go.
TEST(CleanExitTest, DISABLED_ReadsPlatformStateAsMainReturns) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as the child of the platform-state test";
  // Longer than a short string keeps inline, so the text lives on the heap.
  const std::string directory = std::string(std::getenv("APM_EXIT_DIR")) + "/a-data-directory-of-some-length";
  const std::vector<std::string> arguments{"host", "-an-argument-of-some-length-to-keep"};
  platform::Paths::setDataDirectory(directory);
  platform::ProcessInfo::setArguments(arguments);
  auto readings = sharedStateReadings();
  for (size_t i = 0; i < readings.size(); ++i) ASSERT_TRUE(readings[i]()) << "reading " << i;
  auto reading = std::make_shared<std::atomic<bool>>(false);
  std::thread([reading, directory, arguments, readings] {
    for (;;) {
      if (platform::Paths::dataDirectory() != directory || platform::ProcessInfo::arguments() != arguments) _exit(3);
      for (const auto& read : readings) {
        if (!read()) _exit(4);
      }
      *reading = true;
    }
  }).detach();
  ASSERT_TRUE(testsupport::waitFor([reading] { return reading->load(); }, 20));
}

// The "seq" of every stored event, in storage order, read from the database file as the next start
// would read it.
std::vector<int64_t> storedSequence(const std::string& database) {
  std::vector<int64_t> sequence;
  sqlite3* connection = nullptr;
  EXPECT_EQ(sqlite3_open_v2(database.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(connection, "SELECT timestamp, data FROM raw_events WHERE name = ? ORDER BY rowid", -1,
                               &statement, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(connection);
  sqlite3_bind_text(statement, 1, kEventName, -1, SQLITE_STATIC);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    auto bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 1));
    auto event = APMEventEncoding::decodeBody(kEventName, sqlite3_column_double(statement, 0),
                                      platform::Data(bytes, bytes + sqlite3_column_bytes(statement, 1)));
    const APMValue* seq = event ? event->parameter("seq") : nullptr;
    sequence.push_back(seq ? seq->int64Value() : -1);
  }
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  return sequence;
}

int64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

// With time enough every event is stored; with none, the exit is as clean and what was stored
// is the events from the first one on, in order, none lost in between. With time enough the
// engine's start-up still runs as main returns, and the flush waits for it; with none, the exit
// gives a running block only kExitStopWait (1 s) before it leaves the database to it, and the
// start-up (the one long block) can take longer than that under a loaded sanitizer run, so that
// case starts the exit once the start-up has run.
TEST(CleanExitTest, AcceptedEventsAreStoredAndTheDatabaseClosedWhenMainReturns) {
  const struct {
    const char* name;
    const char* limit;
    bool everyEvent;
    bool afterStart;
  } cases[] = {{"time enough", "600", true, false}, {"no time at all", "0", false, true}};
  // Sanitizers slow storing some fiftyfold: their builds store a twentieth as many.
#if defined(__SANITIZE_ADDRESS__)
  constexpr int kEvents = 2500;
#else
  constexpr int kEvents = 50000;
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir directory;
    std::vector<std::string> environment{"APM_EXIT_DIR=" + directory.path(), std::string("APM_EXIT_LIMIT=") + c.limit,
                                         "APM_EXIT_EVENTS=" + std::to_string(kEvents)};
    if (c.afterStart) environment.push_back("APM_EXIT_AFTER_START=1");
    testsupport::ChildProcess child("CleanExitTest.DISABLED_LogsAndReturnsFromMain", environment);
    ASSERT_TRUE(child.started());
    auto status = child.wait(900);
    ASSERT_TRUE(status.has_value()) << "the child did not end";
    ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;

    const std::string database = directory.path() + "/Diroda/Measurement/diroda-app-measurement.sql";
    EXPECT_EQ(fileSize(database + "-wal"), 0) << "the write-ahead log was folded into the database";
    auto stored = storedSequence(database);
    if (c.everyEvent) {
      EXPECT_EQ(stored.size(), static_cast<size_t>(kEvents));
    }
    ASSERT_LE(stored.size(), static_cast<size_t>(kEvents));
    std::vector<int64_t> firstOnes(stored.size());
    std::iota(firstOnes.begin(), firstOnes.end(), 0);
    EXPECT_EQ(stored, firstOnes);
  }
}

// What an SDK thread may still read as the process ends outlives the static objects.
TEST(CleanExitTest, PlatformStateOutlivesTheStaticObjects) {
  testsupport::TempDir directory;
  for (int run = 0; run < 3; ++run) {
    testsupport::ChildProcess child("CleanExitTest.DISABLED_ReadsPlatformStateAsMainReturns",
                                    {"APM_EXIT_DIR=" + directory.path()});
    ASSERT_TRUE(child.started());
    auto status = child.wait(60);
    ASSERT_TRUE(status.has_value()) << "the child did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "run " << run << ", wait status " << *status;
  }
}

// A caller waiting for room when the process ends is refused like any call after exit began: its
// call returns while the exit runs, and the process ends on time.
TEST(CleanExitTest, ACallerWaitingForRoomAtExitIsRefusedAndTheProcessEnds) {
  testsupport::TempDir directory;
  testsupport::ChildProcess child("CleanExitTest.DISABLED_WaitsForRoomWhenMainReturns",
                                  {"APM_EXIT_DIR=" + directory.path()});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.receive(60), std::optional<std::string>("waiting"));
  EXPECT_EQ(child.receive(10), std::optional<std::string>("returned")) << "the waiting caller was not released";
  auto status = child.wait(15);
  ASSERT_TRUE(status.has_value()) << "the child did not end while its worker was held";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

}  // namespace
