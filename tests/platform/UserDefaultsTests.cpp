#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

using platform::Array;
using platform::Data;
using platform::Dictionary;
using platform::Object;
using platform::PropertyList;
using platform::UserDefaults;
using platform::UserDefaultsRegistry;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UserDefaultsRegistry::resetForTesting();
    UserDefaultsRegistry::setDiagnosticHandler([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      diagnostics_.push_back(line);
    });
  }
  void TearDown() override {
    UserDefaultsRegistry::resetForTesting();
    UserDefaultsRegistry::setDiagnosticHandler(nullptr);
  }
  std::vector<std::string> diagnostics() {
    std::lock_guard<std::mutex> lock(mutex_);
    return diagnostics_;
  }

  testsupport::ScopedDataDirectory data_;
  std::mutex mutex_;
  std::vector<std::string> diagnostics_;
};

// Time stands still unless a test moves it, so a scheduled write runs only when the test says.
class UserDefaultsWriteTest : public UserDefaultsTest {
 protected:
  // A death test's child runs the test again from its start in a new process: there it takes the
  // parent's data directory instead of its own, so both processes look at the same files.
  void shareDataDirectoryWithChildProcess() {
    constexpr const char* kVariable = "USER_DEFAULTS_TEST_PARENT_DIRECTORY";
    if (const char* parent = std::getenv(kVariable)) {
      std::filesystem::remove_all(data_.path());
      platform::Paths::setDataDirectory(parent);
    }
    inherited_ = std::make_unique<testsupport::ScopedEnvironment>(kVariable, platform::Paths::dataDirectory().c_str());
  }

  testsupport::ScopedFakeClock clock_;
  std::unique_ptr<testsupport::ScopedEnvironment> inherited_;
};

// From here on a write past this size kills the process, leaving no core behind.
void limitFileSizeTo(uintmax_t bytes) {
  rlimit noCore{};
  setrlimit(RLIMIT_CORE, &noCore);
  rlimit fileSize{};
  fileSize.rlim_cur = fileSize.rlim_max = static_cast<rlim_t>(bytes);
  setrlimit(RLIMIT_FSIZE, &fileSize);
}

std::vector<std::filesystem::path> temporaryFilesBeside(const std::string& path) {
  std::vector<std::filesystem::path> found;
  const std::string prefix = std::filesystem::path(path).filename().string() + ".tmp.";
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  return found;
}

}  // namespace

TEST_F(UserDefaultsTest, TypedGettersAnswerOnlyForTheirKind) {
  auto d = UserDefaultsRegistry::standard();
  d->setObject("s", Object("12"));
  d->setObject("r", Object(2.5));
  d->setObject("a", Object(Array{Object(1)}));
  struct Row {
    const char* key;
    bool string, number, array, boolValue;
    int64_t integer;
    double real;
  } rows[] = {
      {"s", true, false, false, true, 12, 12.0},  {"r", false, true, false, true, 2, 2.5},
      {"a", false, false, true, false, 0, 0.0},   {"absent", false, false, false, false, 0, 0.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    EXPECT_EQ(d->string(row.key).has_value(), row.string);
    EXPECT_EQ(d->number(row.key).has_value(), row.number);
    EXPECT_EQ(d->array(row.key).has_value(), row.array);
    EXPECT_EQ(d->boolValue(row.key), row.boolValue);
    EXPECT_EQ(d->integer(row.key), row.integer);
    EXPECT_DOUBLE_EQ(d->doubleValue(row.key), row.real);
  }
}

// Changes reach the disk shortly after they are made, as a plain property list another reader
// understands, and at once on synchronize().
TEST_F(UserDefaultsTest, SurvivesARestartWithOrWithoutSynchronize) {
  UserDefaultsRegistry::standard()->setObject("synced", Object("yes"));
  ASSERT_TRUE(UserDefaultsRegistry::standard()->synchronize());
  EXPECT_EQ(PropertyList::readFile(data_.path() + "/Preferences/standard.plist")["synced"].stringValue(), "yes");
  UserDefaultsRegistry::suite("later")->setDouble("d", 0.25);
  const std::string path = UserDefaultsRegistry::pathForSuite("later");
  EXPECT_TRUE(testsupport::waitFor([&] { return PropertyList::readFile(path)["d"].doubleValue() == 0.25; }));
  UserDefaultsRegistry::resetForTesting();
  EXPECT_EQ(UserDefaultsRegistry::standard()->string("synced"), "yes");
  EXPECT_DOUBLE_EQ(UserDefaultsRegistry::suite("later")->doubleValue("d"), 0.25);
}

// A torn file, one that holds no dictionary, one nested deep enough to exhaust the stack of the
// reader, or one holding a NUL byte inside a string, reads as empty, is reported, and is replaced
// by the next write.
TEST_F(UserDefaultsTest, DamagedOrHostileFilesReadAsEmptyAreReportedAndRepaired) {
  UserDefaultsRegistry::suite("torn")->setObject("k", Object(Array{Object(1), Object(2), Object(3)}));
  ASSERT_TRUE(UserDefaultsRegistry::suite("torn")->synchronize());
  UserDefaultsRegistry::resetForTesting();
  const std::string torn = UserDefaultsRegistry::pathForSuite("torn");
  std::filesystem::resize_file(torn, std::filesystem::file_size(torn) / 2);
  ASSERT_TRUE(PropertyList::writeFile(UserDefaultsRegistry::pathForSuite("list"), Object(Array{Object(1)})));
  {
    std::ofstream deep(UserDefaultsRegistry::pathForSuite("deep"));
    deep << "<plist version=\"1.0\"><dict><key>k</key>";
    for (int i = 0; i < 200000; ++i) deep << "<array>";
    for (int i = 0; i < 200000; ++i) deep << "</array>";
    deep << "</dict></plist>";
  }
  {
    const char withNul[] = "<plist><dict><key>k</key><string>a\0b</string></dict></plist>";
    std::ofstream(UserDefaultsRegistry::pathForSuite("nul"), std::ios::binary).write(withNul, sizeof withNul - 1);
  }

  const char* suites[] = {"torn", "list", "deep", "nul"};
  for (const char* name : suites) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(UserDefaultsRegistry::suite(name)->dictionaryRepresentation().empty());
    auto lines = diagnostics();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(UserDefaultsRegistry::pathForSuite(name)), std::string::npos);
    UserDefaultsRegistry::suite(name)->setBool("fresh", true);
    ASSERT_TRUE(UserDefaultsRegistry::suite(name)->synchronize());
  }
  EXPECT_EQ(diagnostics().size(), 4u);
  UserDefaultsRegistry::resetForTesting();
  for (const char* name : suites) EXPECT_TRUE(UserDefaultsRegistry::suite(name)->boolValue("fresh")) << name;
}

TEST_F(UserDefaultsTest, SuitesAreSeparateFilesInsidePreferences) {
  EXPECT_EQ(UserDefaultsRegistry::suite(""), UserDefaultsRegistry::standard());
  EXPECT_EQ(UserDefaultsRegistry::suite("a"), UserDefaultsRegistry::suite("a"));
  EXPECT_NE(UserDefaultsRegistry::suite("a"), UserDefaultsRegistry::suite("b"));
  UserDefaultsRegistry::suite("a")->setInteger("k", 1);
  EXPECT_TRUE(UserDefaultsRegistry::suite("b")->object("k").isNull());

  const std::string escaped = UserDefaultsRegistry::pathForSuite("../../evil");
  EXPECT_EQ(std::filesystem::path(escaped).parent_path(), std::filesystem::path(data_.path() + "/Preferences"));
}

// The file names are what earlier versions wrote: the next start must find them.
TEST_F(UserDefaultsTest, EachSuiteLivesInItsNamedFileOfTheCurrentDataDirectory) {
  struct Case {
    const char* name;
    const char* file;
  };
  const Case cases[] = {
      {"", "standard.plist"},
      {"standard", "standard.plist"},
      {"com.example.suite", "com.example.suite.plist"},
      {"a/b", "a_b.plist"},
  };
  for (const Case& c : cases) {
    const std::string expected = data_.path() + "/Preferences/" + c.file;
    EXPECT_EQ(UserDefaultsRegistry::pathForSuite(c.name), expected) << c.name;
    EXPECT_EQ(UserDefaultsRegistry::suite(c.name)->path(), expected) << c.name;
  }
  EXPECT_EQ(UserDefaultsRegistry::standard()->suiteName(), "standard");

  // Another data directory holds other files, so the same name gives another instance.
  auto before = UserDefaultsRegistry::suite("moving");
  before->setObject("k", Object("first"));
  testsupport::ScopedDataDirectory other;
  auto after = UserDefaultsRegistry::suite("moving");
  EXPECT_NE(before, after);
  EXPECT_EQ(after->path(), other.path() + "/Preferences/moving.plist");
  EXPECT_TRUE(after->object("k").isNull());
}

// Writing everything (as the exit handler does) reaches the suites and the instances made outside
// them alike, at once, without waiting for the scheduled write.
TEST_F(UserDefaultsWriteTest, SynchronizeAllWritesEverySuiteAndEveryInstanceMadeDirectly) {
  const std::string ownPath = UserDefaultsRegistry::pathForSuite("own");
  auto own = std::make_shared<UserDefaults>("own", ownPath);
  own->setBool("kept", true);
  UserDefaultsRegistry::suite("listed")->setInteger("n", 3);
  UserDefaultsRegistry::synchronizeAll();
  EXPECT_EQ(own->writeCountForTesting(), 1u);
  EXPECT_TRUE(PropertyList::readFile(ownPath)["kept"].boolValue());
  EXPECT_EQ(PropertyList::readFile(UserDefaultsRegistry::pathForSuite("listed"))["n"].integerValue(), 3);
}

// Leaving a data directory writes what its suites, and the instances made there directly, still
// hold, before the directory can be removed by whoever made it.
TEST_F(UserDefaultsWriteTest, LeavingADataDirectoryWritesWhatWasPendingThereAtOnce) {
  testsupport::TempDir left;
  platform::Paths::setDataDirectory(left.path());
  UserDefaultsRegistry::suite("moving")->setObject("k", Object("pending"));
  auto own = std::make_shared<UserDefaults>("own", left.path() + "/own.plist");
  own->setBool("kept", true);
  platform::Paths::setDataDirectory(data_.path());
  EXPECT_EQ(PropertyList::readFile(left.path() + "/Preferences/moving.plist")["k"].stringValue(), "pending");
  EXPECT_TRUE(PropertyList::readFile(left.path() + "/own.plist")["kept"].boolValue());
  EXPECT_EQ(own->writeCountForTesting(), 1u);
}

// A data directory removed while its preferences wait for their write (a test's temporary
// directory, a host clearing its data) stays removed: neither leaving it, nor the delayed write,
// nor the exit's makes it again, for the suites and for an instance made directly inside it.
TEST_F(UserDefaultsWriteTest, WritesNobodyWaitsForLeaveARemovedDirectoryRemoved) {
  auto removed = std::make_unique<testsupport::TempDir>();
  const std::string gone = removed->path();
  platform::Paths::setDataDirectory(gone);
  auto suite = UserDefaultsRegistry::suite("late");
  suite->setObject("k", Object("pending"));
  auto own = std::make_shared<UserDefaults>("own", gone + "/own.plist");
  own->setBool("kept", true);
  removed.reset();
  ASSERT_FALSE(std::filesystem::exists(gone));
  platform::Paths::setDataDirectory(data_.path());
  EXPECT_FALSE(std::filesystem::exists(gone)) << "leaving made the removed directory again";

  // The delayed writes run in the order they were scheduled: the staying suite's comes last.
  auto staying = UserDefaultsRegistry::suite("staying");
  staying->setInteger("n", 1);
  clock_->advance(1);
  ASSERT_TRUE(testsupport::waitFor([&] { return staying->writeCountForTesting() >= 1; }));
  UserDefaultsRegistry::waitForBackgroundWritesForTesting();
  EXPECT_FALSE(std::filesystem::exists(gone)) << "a delayed write made the removed directory again";

  UserDefaultsRegistry::synchronizeAll();
  EXPECT_FALSE(std::filesystem::exists(gone)) << "the exit's write made the removed directory again";
  EXPECT_EQ(suite->writeCountForTesting() + own->writeCountForTesting(), 0u);
  EXPECT_EQ(suite->string("k"), "pending") << "memory keeps the change";

  // Asked for, a write still goes where it must.
  EXPECT_TRUE(own->synchronize());
  EXPECT_TRUE(PropertyList::readFile(gone + "/own.plist")["kept"].boolValue());
  std::filesystem::remove_all(gone);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kKeys = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      auto d = UserDefaultsRegistry::suite("shared");
      for (int k = 0; k < kKeys; ++k) {
        d->setInteger("t" + std::to_string(t) + "k" + std::to_string(k), k);
        if (k % 25 == 0) d->synchronize();
        (void)d->integer("t0k0");
      }
    });
  }
  for (auto& th : threads) th.join();
  UserDefaultsRegistry::resetForTesting();
  auto all = UserDefaultsRegistry::suite("shared")->dictionaryRepresentation();
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kKeys));
  EXPECT_EQ(all["t7k99"].integerValue(), 99);
}

TEST_F(UserDefaultsWriteTest, ChangesCloseTogetherShareOneWriteThatAFreshReaderSees) {
  auto d = UserDefaultsRegistry::suite("burst");
  const std::string path = UserDefaultsRegistry::pathForSuite("burst");
  // Twenty changes spread over less than a second, each given the chance to be written alone.
  for (int i = 0; i < 20; ++i) {
    d->setInteger("counter", i);
    d->setObject("k" + std::to_string(i % 3), Object(i));
    EXPECT_EQ(d->integer("counter"), i) << "reads answer with the unwritten change";
    clock_->advance(0.04);
    UserDefaultsRegistry::waitForBackgroundWritesForTesting();
  }
  EXPECT_EQ(d->writeCountForTesting(), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));

  clock_->advance(1);
  ASSERT_TRUE(testsupport::waitFor([&] { return d->writeCountForTesting() >= 1; }));
  UserDefaultsRegistry::waitForBackgroundWritesForTesting();
  EXPECT_EQ(d->writeCountForTesting(), 1u);
  const Object onDisk = PropertyList::readFile(path);
  EXPECT_EQ(onDisk["counter"].integerValue(), 19);
  EXPECT_EQ(onDisk["k0"].integerValue(), 18);

  // Nothing is left to write: neither synchronize nor the passing time writes again.
  EXPECT_TRUE(d->synchronize());
  clock_->advance(10);
  UserDefaultsRegistry::waitForBackgroundWritesForTesting();
  EXPECT_EQ(d->writeCountForTesting(), 1u);

  // A later change is written on its own, at once when asked, and a new instance reads it.
  d->setObject("counter", Object("last"));
  EXPECT_TRUE(d->synchronize());
  EXPECT_EQ(d->writeCountForTesting(), 2u);
  EXPECT_EQ(UserDefaults("burst", path).string("counter"), "last");
}

TEST_F(UserDefaultsWriteTest, APendingWriteReachesTheFileWhenTheProcessExits) {
  shareDataDirectoryWithChildProcess();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        UserDefaultsRegistry::suite("leaving")->setObject("k", Object("last"));
        UserDefaultsRegistry::standard()->setInteger("n", 7);
        // One made directly, outside the suites, as the persisted configuration makes its own.
        auto own = std::make_shared<UserDefaults>("own", UserDefaultsRegistry::pathForSuite("own"));
        own->setBool("kept", true);
        std::exit(0);  // the clock never moved: only the exit writes
      },
      ::testing::ExitedWithCode(0), "");
  UserDefaultsRegistry::resetForTesting();
  EXPECT_EQ(UserDefaultsRegistry::suite("leaving")->string("k"), "last");
  EXPECT_EQ(UserDefaultsRegistry::standard()->integer("n"), 7);
  EXPECT_TRUE(UserDefaultsRegistry::suite("own")->boolValue("kept"));
}

TEST_F(UserDefaultsWriteTest, AProcessDyingInTheMiddleOfAWriteLeavesThePreviousFileWhole) {
  shareDataDirectoryWithChildProcess();
  const std::string path = UserDefaultsRegistry::pathForSuite("precious");
  auto d = UserDefaultsRegistry::suite("precious");
  d->setObject("k", Object("old"));
  ASSERT_TRUE(d->synchronize());
  const auto oldSize = std::filesystem::file_size(path);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // The kernel stops the process (SIGXFSZ) once the new contents pass the old file's size.
        limitFileSizeTo(oldSize);
        d->setObject("k", Object("new"));
        d->setObject("bulk", Object(Data(64 * 1024, 0x5A)));
        d->synchronize();
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGXFSZ), "");
  ASSERT_EQ(temporaryFilesBeside(path).size(), 1u) << "the child died while it wrote";
  EXPECT_GT(std::filesystem::file_size(temporaryFilesBeside(path).front()), 0u);

  UserDefaultsRegistry::resetForTesting();
  EXPECT_EQ(UserDefaultsRegistry::suite("precious")->dictionaryRepresentation(), (Dictionary{{"k", Object("old")}}));
  EXPECT_TRUE(diagnostics().empty());
  UserDefaultsRegistry::suite("precious")->setObject("k", Object("after"));
  ASSERT_TRUE(UserDefaultsRegistry::suite("precious")->synchronize());
  EXPECT_EQ(PropertyList::readFile(path)["k"].stringValue(), "after");
}
