// Where a test process's SDK work lands when no test has a data directory of its own: in the
// process's temporary directory, never in the home folder of whoever runs the suite.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "platform/Paths.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

bool inside(const std::string& path, const std::string& directory) {
  return !directory.empty() && path.compare(0, directory.size() + 1, directory + "/") == 0;
}

}  // namespace

TEST(TestProcessDataDirectoryTest, WorkAfterATestsOwnDirectoryLandsInTheProcessDirectory) {
  const std::string process = testsupport::processDataDirectory();
  ASSERT_TRUE(inside(process, std::filesystem::temp_directory_path().string())) << process;
  ASSERT_EQ(platform::Paths::dataDirectory(), process);
  {
    testsupport::ScopedDataDirectory scoped;
    ASSERT_EQ(platform::Paths::dataDirectory(), scoped.path());
    EXPECT_TRUE(inside(scoped.path(), process)) << scoped.path();
    platform::UserDefaultsRegistry::suite("test.pending")->setBool("pending", true);
  }
  // Checked before anything is written, so a failure here writes nothing into the home folder.
  ASSERT_EQ(platform::Paths::dataDirectory(), process);
  auto late = platform::UserDefaultsRegistry::suite("test.late");
  late->setBool("written", true);
  ASSERT_TRUE(late->synchronize());
  EXPECT_TRUE(inside(late->path(), process)) << late->path();
  EXPECT_TRUE(std::filesystem::exists(late->path()));
}

// The child of the helper-process test: writes a suite into its data directory and names it.
TEST(TestProcessDataDirectoryTest, DISABLED_WritesAndNamesItsDataDirectory) {
  if (!testsupport::runsAsChild()) GTEST_SKIP() << "runs only as the child of the helper-process test";
  auto defaults = platform::UserDefaultsRegistry::suite("test.child");
  defaults->setBool("written", true);
  ASSERT_TRUE(defaults->synchronize());
  ASSERT_TRUE(testsupport::sendToParent(platform::Paths::dataDirectory()));
}

// A helper process (or a death test's child) works inside this process's directory, so what a
// killed one leaves goes with it; one that exits removes its own directory as it goes.
TEST(TestProcessDataDirectoryTest, AHelperProcessWorksInsideThisOnesDirectoryAndRemovesItsOwn) {
  testsupport::ChildProcess child("TestProcessDataDirectoryTest.DISABLED_WritesAndNamesItsDataDirectory", {});
  ASSERT_TRUE(child.started());
  auto directory = child.receive(60);
  ASSERT_TRUE(directory.has_value());
  EXPECT_TRUE(inside(*directory, testsupport::processDataDirectory())) << *directory;
  auto status = child.wait(60);
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "exit status " << *status;
  EXPECT_FALSE(std::filesystem::exists(*directory)) << *directory;
}
