#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Logger/DULLogger.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

constexpr const char* kDebugKey = "/diroda/zoredode/debug_mode";

class DULLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { restart({"app"}); }
  void TearDown() override {
    DULLoggerSetSink(nullptr);
    DULLoggerResetForTesting();
    platform::ProcessInfo::setArguments({});
    platform::Bundle::reset();
    platform::UserDefaultsRegistry::resetForTesting();
  }

  // Starts the logger afresh, as a new process with these launch arguments would.
  void restart(std::vector<std::string> arguments) {
    DULLoggerResetForTesting();
    platform::UserDefaultsRegistry::resetForTesting();
    platform::ProcessInfo::setArguments(std::move(arguments));
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
    take();
  }

  // The records written since the last call.
  std::vector<DULLogRecord> take() {
    DULLoggerFlush();
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(records_, {});
  }

  testsupport::ScopedDataDirectory data_;
  std::mutex mutex_;
  std::vector<DULLogRecord> records_;
};

}  // namespace

TEST_F(DULLoggerTest, WritesTheLineFormatWithVersionTagAndCode) {
  EXPECT_TRUE(DULLoggerLogMessage(DULLoggerLevel{4}, "com.example.svc", "[Tag]", false, "I-COR000001", "hello 100%"));
  DULLoggerLogWarning("svc", "[Other]", "I-NET900000", "second");
  auto got = take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].line, "11.15.0 - [Tag][I-COR000001] hello 100%");
  EXPECT_EQ(got[0].service, "com.example.svc");
  EXPECT_EQ(got[0].level, 4);
  EXPECT_EQ(got[1].line, "11.15.0 - [Other][I-NET900000] second");
}

// The named levels carry the numbers the core platform's services take and records show.
TEST_F(DULLoggerTest, NamedLevelsWriteTheirNumbers) {
  const std::pair<DULLoggerLevel, int64_t> rows[] = {{DULLoggerLevel::kError, 3},
                                                     {DULLoggerLevel::kWarning, 4},
                                                     {DULLoggerLevel::kNotice, 5},
                                                     {DULLoggerLevel::kInfo, 6},
                                                     {DULLoggerLevel::kDebug, 7}};
  DULLoggerSetLevel(DULLoggerLevel::kNotice);
  for (const auto& [level, number] : rows) {
    SCOPED_TRACE(number);
    EXPECT_EQ(DULLoggerIsLoggableLevel(level), number <= 5);
    ASSERT_TRUE(DULLoggerLogMessage(level, "s", "[T]", true, "I-COR000005", "m"));
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, number);
  }
}

TEST_F(DULLoggerTest, DefaultLevelIsNoticeAndFiltersAbove) {
  EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 5);
  const struct {
    int64_t loggerLevel, messageLevel;
    bool force, written;
  } rows[] = {{5, 5, false, true}, {5, 6, false, false}, {7, 7, false, true}, {3, 7, true, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "logger " << row.loggerLevel << " message " << row.messageLevel);
    DULLoggerSetLevel(row.loggerLevel);
    EXPECT_EQ(DULLoggerIsLoggableLevel(DULLoggerLevel{row.messageLevel}), row.messageLevel <= row.loggerLevel);
    EXPECT_EQ(DULLoggerLogMessage(DULLoggerLevel{row.messageLevel}, "s", "[T]", row.force, "I-COR000002", "m"),
              row.written);
    EXPECT_EQ(take().size(), row.written ? 1u : 0u);
  }
}

TEST_F(DULLoggerTest, InvalidLevelIsRefusedWithItsOwnLine) {
  DULLoggerSetLevel(4);
  for (int64_t bad : {2, 8}) {
    SCOPED_TRACE(bad);
    DULLoggerSetLevel(bad);
    EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 4);
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].line, "11.15.0 - [ZoredodeCore][I-COR000023] Invalid logger level, " + std::to_string(bad));
  }
}

TEST_F(DULLoggerTest, MessageCodesMustHaveTheFixedShape) {
  const std::map<std::string, bool> codes = {
      {"I-COR000023", true},  {"I-cor000023", false}, {"I-CO0000023", false},
      {"I-COR00002", false},  {"I-COR0000234", false}, {"X-COR000023", false},
  };
  for (const auto& [code, valid] : codes) {
    SCOPED_TRACE(code);
    EXPECT_EQ(DULLoggerLogMessage(DULLoggerLevel{3}, "s", "[T]", true, code, "m"), valid);
    EXPECT_EQ(take().size(), valid ? 1u : 0u);
  }
}

TEST_F(DULLoggerTest, LaunchArgumentsSwitchAndPersistDebugMode) {
  restart({"app", "-ZORDebugEnabled"});
  EXPECT_TRUE(DULLoggerIsDebugMode());
  EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 7);
  EXPECT_TRUE(DULLoggerLogMessage(DULLoggerLevel{7}, "s", "[T]", false, "I-COR000003", "debug line"));
  // Debug mode answers yes even after the level is lowered.
  DULLoggerSetLevel(3);
  EXPECT_TRUE(DULLoggerIsLoggableLevel(DULLoggerLevel{7}));
  EXPECT_TRUE(DULLoggerLogMessage(DULLoggerLevel{6}, "s", "[T]", false, "I-COR000003", "forced by debug mode"));
  EXPECT_EQ(take().size(), 2u);
  EXPECT_TRUE(platform::UserDefaultsRegistry::standard()->boolValue(kDebugKey));

  // Without arguments the persisted choice holds.
  restart({"app"});
  EXPECT_TRUE(DULLoggerIsDebugMode());

  restart({"app", "-ZORDebugDisabled"});
  EXPECT_FALSE(DULLoggerIsDebugMode());
  EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 5);
  EXPECT_TRUE(platform::UserDefaultsRegistry::standard()->object(kDebugKey).isNull());

  restart({"app"});
  EXPECT_FALSE(DULLoggerIsDebugMode());
}

// Which receipts make an App Store build is the environment's to test; here only what the logger
// does in one.
TEST_F(DULLoggerTest, AppStoreBuildsIgnoreVerboseLevelsAndDebugMode) {
  testsupport::TempDir dir;
  std::ofstream(dir.path() + "/receipt") << "r";
  platform::Bundle::setAppStoreReceiptPath(dir.path() + "/receipt");
  restart({"app", "-ZORDebugEnabled"});
  EXPECT_FALSE(DULLoggerIsDebugMode());
  DULLoggerSetLevel(3);
  DULLoggerSetLevel(6);
  EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 3);
  DULLoggerSetLevel(4);
  EXPECT_EQ(DULLoggerLevelNumber(DULLoggerGetLevel()), 4);
}

TEST_F(DULLoggerTest, LinesFromManyThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 6;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        DULLoggerLogMessage(DULLoggerLevel{3}, "s", "[T" + std::to_string(t) + "]", false, "I-COR000004",
                            std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  auto got = take();
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kLines));
  std::map<std::string, int> next;
  for (const auto& r : got) {
    std::string tag = r.line.substr(0, r.line.find(']'));
    EXPECT_EQ(std::stoi(r.line.substr(r.line.rfind(' ') + 1)), next[tag]++);
  }
}
