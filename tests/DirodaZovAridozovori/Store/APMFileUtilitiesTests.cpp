#include "APMFileUtilities.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "APMStoreLog.h"
#include "StoreTestSupport.h"
#include "TestSupport.h"
#include "platform/Paths.h"

namespace {

TEST(APMFileUtilitiesTest, DeleteFileReportsEveryFailure) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/file";
  std::ofstream(path) << "x";
  platform::Error error;
  EXPECT_TRUE(APMDeleteFile(path, &error));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(APMDeleteFile(path, &error)) << "a missing file is not deleted";
  EXPECT_EQ(error.code, kAPMStoreErrorFileSystem);
  platform::Error empty;
  EXPECT_FALSE(APMDeleteFile("", &empty));
  EXPECT_EQ(empty.code, 1);
  EXPECT_EQ(empty.description, "Received empty path for deleting file");
}

}  // namespace
