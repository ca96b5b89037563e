#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>

#include "APMError.h"
#include "APMMonitor.h"
#include "APMMonitorText.h"
#include "APMUserDefaults.h"
#include "CoreTestFixture.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaultsRegistry.h"

using platform::Array;
using platform::Date;
using platform::Object;

namespace {

constexpr const char* kHealthKey = "/diroda/measurement/health_monitor";
constexpr const char* kMigrationKey = "/diroda/measurement/monitor_migration_state";
constexpr const char* kDebugKey = "/diroda/measurement/debug_mode";
constexpr const char* kVerboseKey = "/diroda/measurement/verbose_logging";

APMUserDefaults monitorSuite() { return APMUserDefaults(APMMonitorSampleStore::kMonitorSuiteName); }

APMExceptionInfo exceptionWithStack(std::vector<std::string> stack) {
  return APMExceptionInfo{"NSInvalidArgumentException", "bad argument", std::move(stack)};
}

const std::vector<std::string> kStackWithSDKFrame = {
    "0   CoreFoundation  0x00000001 __exceptionPreprocess + 164",
    "1   libobjc.A.dylib 0x00000002 objc_exception_throw + 60",
    "2   Murrelin        0x00000003 -[AppDelegate launch] + 10",
    "3   Murrelin        0x00000004 -[APMMeasurement handleEventOnWorkerQueue:] + 1234",
    "4   Murrelin        0x00000005 APMLogSomething + 5",
};

class APMMonitorTest : public CoreTest {};

}  // namespace

TEST(APMMonitorLevels, DescriptionsSilenceMonitoringAndLoggerLevels) {
  struct Row {
    int64_t level;
    const char* description;
    bool silent, monitorable;
    int64_t dulLevel;
    char keyLetter;
  };
  const Row rows[] = {
      {0, "ERROR", false, false, 3, 'E'},   {1, "ERROR", false, true, 3, 'E'},    {2, "ERROR", true, true, 3, 'E'},
      {3, "WARNING", false, false, 4, 'W'}, {4, "WARNING", false, true, 4, 'W'},  {5, "WARNING", true, true, 4, 'W'},
      {6, "NOTICE", false, false, 5, '?'},  {7, "DEBUG", false, false, 7, '?'},   {8, "", false, false, 7, '?'},
      {9, "", true, true, 4, '?'},          {42, "", true, true, 4, '?'},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.level);
    const APMLogLevel level{row.level};
    EXPECT_EQ(APMMonitorText::logLevelDescriptionFromLogLevel(level), row.description);
    EXPECT_EQ(APMMonitor::isSilentLevel(level), row.silent);
    EXPECT_EQ(APMMonitor::isMonitorableLevel(level), row.monitorable);
    EXPECT_EQ(DULLoggerLevelNumber(APMASLLogger::DULLoggerLevelFromLogLevel(level)), row.dulLevel);
    EXPECT_EQ(APMMonitorText::monitoringDataKeyWithMessage("Msg", level, 111500),
              std::string("1") + row.keyLetter + "_111500:Msg");
  }
  EXPECT_EQ(APMASLLogger::messageCodeText(2001), "I-ACS002001");
  EXPECT_EQ(APMASLLogger::messageCodeText(900000), "I-ACS900000");
}

TEST(APMMonitorEncoding, ContextsKeepTheirShapeOnly) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Row { const char* name; APMMonitorContext context; std::string expected; };
  const Row rows[] = {
      {"null", APMMonitorContext(), ""},
      {"string", APMMonitorContext("user@example.com"), "-"},
      {"99", APMMonitorContext(99), "99"},
      {"-99", APMMonitorContext(-99), "-99"},
      {"100", APMMonitorContext(100), "100...999"},
      {"-100", APMMonitorContext(-100), "-999...-100"},
      {"18 nines", APMMonitorContext(999999999999999999LL), "100000000000000000...999999999999999999"},
      {"max", APMMonitorContext(kMax), "1000000000000000000...9999999999999999999"},
      {"min", APMMonitorContext(kMin), "-9999999999999999999...-1000000000000000000"},
      {"double truncates", APMMonitorContext(12.7), "12"},
      {"date", APMMonitorContext(Date{5}), "?"},
      {"error", APMMonitorContext(APMError::apm_errorWithCode(3, "secret")), "com.diroda.dmp.measurement.ErrorDomain"},
      {"error without domain", APMMonitorContext(platform::Error()), "-"},
      // An exception shows its last SDK frame, else its name.
      {"exception without stack", APMMonitorContext(exceptionWithStack({})), "NSInvalidArgumentException"},
      {"method frame", exceptionWithStack(kStackWithSDKFrame), "-[APMMeasurement handleEventOnWorkerQueue:]"},
      {"function frame",
       exceptionWithStack({"0 a 0x1 x + 1", "1 b 0x2 y + 2", "2 Murrelin 0x3 apm_helperFunction + 7"}),
       "apm_helperFunction"},
      {"first two lines are skipped",
       exceptionWithStack({"0 a 0x1 APMFirst + 1", "1 b 0x2 APMSecond + 2", "2 c 0x3 other + 3"}),
       "NSInvalidArgumentException"},
      {"short lines are skipped",
       exceptionWithStack({"0", "1", "2 APMShort", "3   Murrelin  0x4   -[APMAlarm cancel] + 9"}),
       "-[APMAlarm cancel]"},
      {"fewer than three lines", exceptionWithStack({"0 a 0x1 APMx + 1", "1 b 0x2 APMy + 2"}),
       "NSInvalidArgumentException"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(APMMonitorText::encodedStringWithContextObject(row.context), row.expected);
  }
  const APMMonitorContexts three{5, "text", 123};
  EXPECT_EQ(APMMonitorText::encodedStringWithContextArray(three, true), "5, -, 100...999");
  EXPECT_EQ(APMMonitorText::encodedStringWithContextArray(three, false), "5,-,100...999");
  EXPECT_EQ(APMMonitorText::encodedStringWithContextArray({}, false), "");
}

TEST(APMMonitorEncoding, ConsoleTextOfMessagesAndContexts) {
  const APMMonitorContexts mixed{APMMonitorContext(), 42, "plain", APMError::apm_errorWithCode(7, "Broken"),
                                 exceptionWithStack(kStackWithSDKFrame), exceptionWithStack({})};
  struct Row {
    const char* name;
    std::string_view message;
    APMMonitorContexts contexts;
    bool encode;
    std::string expected;
  };
  const Row rows[] = {
      {"nil message", std::string_view(), {}, false, "(Message was nil)"},
      {"empty message", "", {}, false, "(Message was empty)"},
      {"no contexts", "Hello", {}, false, "Hello"},
      {"readable contexts", "Value", mixed, false,
       "Value: (nil), 42, plain, Error Domain=com.diroda.dmp.measurement.ErrorDomain Code=7 \"Broken\", "
       "-[APMMeasurement handleEventOnWorkerQueue:]: bad argument, NSInvalidArgumentException: bad argument"},
      {"encoded contexts", "Value", APMMonitorContexts{250, "secret", nullptr}, true, "Value: 100...999, -, "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(APMMonitorText::stringWithLogMessage(row.message, APMLogLevel{1}, row.contexts, row.encode), row.expected);
  }
}

TEST_F(APMMonitorTest, PrintsThroughTheLoggerWithTheAnalyticsCode) {
  auto monitor = APMMonitor::shared();
  monitor->logWithLevel(APMLogLevel{1}, APMLogCode(23001), "Failed to store event. Error",
                        APMError::apm_errorWithCode(5, "disk"));
  monitor->logWithLevel(APMLogLevel{3}, APMLogCode(25000), "Rate 100% reached");
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], line(23001, "Failed to store event. Error: Error Domain=com.diroda.dmp.measurement.ErrorDomain Code=5 \"disk\""));
  EXPECT_EQ(got[1], line(25000, "Rate 100% reached"));
}

TEST_F(APMMonitorTest, SilentLevelsAreSampledAndKeptAcrossRestartsNoticesOnlyPrinted) {
  testsupport::ScopedFakeClock clock(1700000000.25);
  auto monitor = APMMonitor::shared();
  monitor->logWithLevel(APMLogLevel{2}, APMLogCode(29001), "Silent error", 7);
  EXPECT_TRUE(lines().empty());
  const Object sample(Array{Object("7"), Object(1), Object("1E_111500:Silent error"), Object(Date{1700000000.25})});
  EXPECT_EQ(monitor->sampledDataForTesting(), sample);
  restart({"app"});
  monitor = APMMonitor::shared();
  EXPECT_EQ(monitor->sampledDataForTesting(), sample) << "the sample survives a restart";

  monitor->clearMonitoringData();
  monitor->logWithLevel(APMLogLevel{6}, APMLogCode(29002), "Notice");
  EXPECT_EQ(lines(), std::vector<std::string>{line(29002, "Notice")});
  EXPECT_TRUE(monitor->sampledDataForTesting().isNull());
}

// The console's tag and context encoding are what printed lines carry; encoded contexts keep only
// their shape, as App Store builds need.
TEST_F(APMMonitorTest, PrintedLinesCarryTheConsoleTagAndEncoding) {
  auto monitor = APMMonitor::shared();
  monitor->console().setLogTag("[Host]");
  monitor->logWithLevel(APMLogLevel{3}, APMLogCode(25000), "Tagged", 250, "secret");
  monitor->console().setEncodeContexts(true);
  monitor->logWithLevel(APMLogLevel{3}, APMLogCode(25001), "Encoded", 250, "secret");
  EXPECT_EQ(lines(), (std::vector<std::string>{"11.15.0 - [Host][I-ACS025000] Tagged: 250, secret",
                                               "11.15.0 - [Host][I-ACS025001] Encoded: 100...999, -"}));
  EXPECT_EQ(monitor->console().logTag(), "[Host]");
  EXPECT_TRUE(monitor->console().encodeContexts());
}

// Clearing forgets the sample in memory and in the suite (a restart finds none) and the stored
// debug switch, so the next launch starts without debug mode.
TEST_F(APMMonitorTest, ClearingForgetsTheSampleAndTheStoredDebugSwitchForGood) {
  auto monitor = APMMonitor::shared();
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(APMLogLevel{1}, APMLogCode(23001), "Sampled", 3);
  ASSERT_TRUE(monitor->sampledDataForTesting().isArray());
  ASSERT_TRUE(APMUserDefaults::sharedUserDefaults()->boolForKey(kDebugKey));

  monitor->clearMonitoringData();
  EXPECT_TRUE(monitor->sampledDataForTesting().isNull());
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()->objectForKey(kDebugKey).isNull());
  restart({"app"});
  EXPECT_TRUE(APMMonitor::shared()->sampledDataForTesting().isNull());
  EXPECT_TRUE(monitorSuite().objectForKey(kHealthKey).isNull());
  EXPECT_FALSE(APMMonitor::shared()->isDebugModeEnabled());
}

TEST_F(APMMonitorTest, DebugAndVerboseLinesNeedTheirSwitches) {
  auto monitor = APMMonitor::shared();
  monitor->logWithLevel(APMLogLevel{7}, APMLogCode(23100), "debug line");
  monitor->logWithLevel(APMLogLevel{8}, APMLogCode(23101), "verbose line");
  EXPECT_TRUE(lines().empty());

  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(APMLogLevel{7}, APMLogCode(23100), "debug line");
  monitor->logWithLevel(APMLogLevel{8}, APMLogCode(23101), "verbose line");
  EXPECT_EQ(lines(), (std::vector<std::string>{line(24000, "Debug mode is on"), line(23100, "debug line")}));

  clearLines();
  monitor->setVerboseLoggingEnabled(true);
  monitor->logWithLevel(APMLogLevel{8}, APMLogCode(23101), "verbose line");
  // The switch's own line is logged while verbose logging is still off.
  EXPECT_EQ(lines(), std::vector<std::string>{line(23101, "verbose line")});
  EXPECT_EQ(APMLogLevelNumber(monitor->logLevel()), 8);

  clearLines();
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(lines(), std::vector<std::string>{line(24004, "Verbose logging is off")});
  EXPECT_EQ(APMLogLevelNumber(monitor->logLevel()), 7);
}

TEST_F(APMMonitorTest, SampleCountsKeepsFirstTimeAndDispatchesAfterThePeriod) {
  testsupport::ScopedFakeClock clock(1700000000.0);
  auto monitor = APMMonitor::shared();
  for (int i = 0; i < 3; ++i) {
    monitor->logWithLevel(APMLogLevel{4}, APMLogCode(33001), "Session warning", 5);
    monitor->flush();
    clock->advance(100);
  }
  EXPECT_EQ(monitor->sampledDataForTesting(),
            Object(Array{Object("5"), Object(3), Object("1W_111500:Session warning"), Object(Date{1700000000.0})}));
  clock->advance(86400);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(86400, 0), "3:1W_111500:Session warning:5");
  EXPECT_TRUE(monitor->sampledDataForTesting().isNull());
  EXPECT_TRUE(monitorSuite().objectForKey(kHealthKey).isNull()) << "a dispatched sample is gone from disk too";
}

// With the collector down every failed upload logs a sampled line: the sample must not cost a
// file write each time, yet reads see it at once and the exit's flush stores the last one.
TEST_F(APMMonitorTest, ABurstOfSampledLinesSharesOneWriteOfTheMonitorSuite) {
  testsupport::ScopedFakeClock clock(1700000000.0);
  auto monitor = APMMonitor::shared();
  monitor->flush();  // the migration has run
  auto suite = platform::UserDefaultsRegistry::suite(APMMonitorSampleStore::kMonitorSuiteName);
  const uint64_t before = suite->writeCountForTesting();
  for (int i = 0; i < 30; ++i) {
    monitor->logWithLevel(APMLogLevel{1}, APMLogCode(23001), "Upload failed");
    monitor->flush();
    platform::UserDefaultsRegistry::waitForBackgroundWritesForTesting();
    clock->advance(0.02);
  }
  EXPECT_EQ(suite->writeCountForTesting(), before);
  auto sample = monitorSuite().arrayForKey(kHealthKey);
  ASSERT_TRUE(sample);
  EXPECT_EQ((*sample)[1], Object(30));

  platform::UserDefaultsRegistry::synchronizeAll();  // as the exit does
  EXPECT_EQ(suite->writeCountForTesting(), before + 1);
  const Object onDisk = platform::PropertyList::readFile(suite->path());
  ASSERT_TRUE(onDisk[kHealthKey].isArray());
  EXPECT_EQ(onDisk[kHealthKey].arrayValue()[1], Object(30));
}

TEST_F(APMMonitorTest, ErrorMonitorContextsJoinTheSample) {
  auto monitor = APMMonitor::shared();
  monitor->logWithLevel(APMLogLevel{1}, APMLogCode(34001), "Store failed",
                        APMError::apm_errorWithCode(1, "x", "sqlite_busy"), 12,
                        APMError::apm_errorWithCode(2, "y", "retry"), APMError::apm_errorWithCode(3, "no context"));
  Object sample = monitor->sampledDataForTesting();
  ASSERT_TRUE(sample.isArray());
  const std::string domain = kAPMErrorDomain;
  EXPECT_EQ(sample.arrayValue()[0].stringValue(), domain + ",12," + domain + "," + domain + ",sqlite_busy,retry");
}

TEST_F(APMMonitorTest, MigratesTheOldSampleOnce) {
  const Array old{Object("ctx"), Object(4), Object("1E_111500:old"), Object(Date{1600000000.0})};
  APMUserDefaults::sharedUserDefaults()->setObject(Object(old), kHealthKey);
  restart({"app"});
  auto monitor = APMMonitor::shared();
  EXPECT_EQ(monitor->sampledDataForTesting(), Object(old));
  EXPECT_EQ(monitorSuite().integerForKey(kMigrationKey), 2);
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()->objectForKey(kHealthKey).isNull());

  // Once done, a sample that reappears in the shared defaults is left alone.
  monitor->clearMonitoringData();
  APMUserDefaults::sharedUserDefaults()->setObject(Object(old), kHealthKey);
  restart({"app"});
  EXPECT_TRUE(APMMonitor::shared()->sampledDataForTesting().isNull());
}

TEST_F(APMMonitorTest, LaunchArgumentsAndPersistedSwitches) {
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    bool storedDebug, storedVerbose, debug, verbose;
    int64_t logLevel;
  };
  const Row rows[] = {
      {"nothing", {}, false, false, false, false, 6},
      {"analytics debug", {"-APMAnalyticsDebugEnabled"}, false, false, true, false, 7},
      {"public debug", {"-DUDUravodazoDebugEnabled"}, false, false, true, false, 7},
      {"core debug", {"-ZORDebugEnabled"}, false, false, true, false, 7},
      {"stored debug", {}, true, false, true, false, 7},
      {"disable wins over stored", {"-noAPMAnalyticsDebugEnabled"}, true, false, false, false, 6},
      {"disable wins over enable", {"-DUDUravodazoDebugEnabled", "-noDUDUravodazoDebugEnabled"}, false, false, false,
       false, 6},
      {"core disable", {"-ZORDebugDisabled"}, true, false, false, false, 6},
      {"verbose", {"-APMAnalyticsVerboseLoggingEnabled"}, false, false, false, true, 8},
      {"verbose disabled", {"-DUDUravodazoVerboseLoggingDisabled"}, false, true, false, false, 6},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto shared = APMUserDefaults::sharedUserDefaults();
    shared->setObject(row.storedDebug ? Object(true) : Object(), kDebugKey);
    shared->setObject(row.storedVerbose ? Object(true) : Object(), kVerboseKey);
    std::vector<std::string> arguments{"app"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    restart(arguments);
    auto monitor = APMMonitor::shared();
    EXPECT_EQ(monitor->isDebugModeEnabled(), row.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), row.verbose);
    EXPECT_EQ(APMLogLevelNumber(monitor->logLevel()), row.logLevel);
    EXPECT_EQ(shared->boolForKey(kDebugKey), row.debug);
    EXPECT_EQ(shared->boolForKey(kVerboseKey), row.verbose);
  }
}

TEST_F(APMMonitorTest, ManyThreadsLogWithoutLosingCount) {
  testsupport::ScopedFakeClock clock;
  auto monitor = APMMonitor::shared();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) monitor->logWithLevel(APMLogLevel{2}, APMLogCode(30000), "Concurrent", i);
    });
  }
  for (auto& th : threads) th.join();
  Object sample = monitor->sampledDataForTesting();
  ASSERT_TRUE(sample.isArray());
  EXPECT_EQ(sample.arrayValue()[1].integerValue(), kThreads * kPerThread);
}

// Threads that ask for the monitor at once while none exists yet share one monitor, and a monitor
// kept from before a reset stays usable afterwards (the reset retires it; it is never destroyed
// under its holders).
TEST_F(APMMonitorTest, RacingFirstReadersShareOneMonitorAndAKeptOneSurvivesTheReset) {
  testsupport::ScopedFakeClock clock;
  for (int round = 0; round < 20; ++round) {
    APMMonitor::resetSharedForTesting();
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<APMMonitor*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        seen[static_cast<size_t>(t)] = APMMonitor::shared().get();
      });
    }
    for (auto& thread : threads) thread.join();
    for (APMMonitor* monitor : seen) ASSERT_EQ(monitor, seen.front()) << "round " << round;
  }

  auto kept = APMMonitor::shared();
  kept->logWithLevel(APMLogLevel{2}, APMLogCode(30001), "Before the reset");
  restart({"app"});
  EXPECT_NE(APMMonitor::shared().get(), kept.get());
  kept->logWithLevel(APMLogLevel{2}, APMLogCode(30002), "After the reset");
  const Object sample = kept->sampledDataForTesting();
  ASSERT_TRUE(sample.isArray());
  EXPECT_EQ(sample.arrayValue()[1].integerValue(), 2);
}
