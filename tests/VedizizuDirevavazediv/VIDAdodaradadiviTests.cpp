#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "VIDAdodaradadivi.h"
#include "VIDErrors.h"
#include "VIDInstallationID.h"
#include "platform/NotificationCenter.h"

namespace {

struct Result {
  std::optional<std::string> id;
  std::optional<platform::Error> error;
  bool onMainQueue = false, done = false;
};

Result fetch(const std::shared_ptr<VIDAdodaradadivi>& client) {
  auto result = std::make_shared<Result>();
  client->installationIDWithCompletion([result](const auto& id, const auto& error) {
    result->id = id;
    result->error = error;
    result->onMainQueue = platform::DispatchQueue::main()->isCurrent();
    result->done = true;
  });
  EXPECT_TRUE(testsupport::waitFor([&] { return result->done; }));
  return *result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class VIDAdodaradadiviTest : public ::testing::Test {
 protected:
  void SetUp() override {
    center_.addObserver(ZORInstallationIDDidChangeNotification, nullptr, nullptr,
                        [this](const platform::Notification&) { ++changes_; });
  }
  std::string directory() const { return dir_.path() + "/Diroda/Installations"; }
  std::string file() const { return directory() + "/installation_id"; }

  testsupport::TempDir dir_;
  std::atomic<int> changes_{0};  // change notifications posted on center_
  platform::NotificationCenter center_;
};

TEST_F(VIDAdodaradadiviTest, IdentifierSurvivesRestartAndStaysOwnerOnly) {
  Result first = fetch(VIDAdodaradadivi::create(directory(), center_));
  ASSERT_TRUE(first.id.has_value());
  EXPECT_FALSE(first.error.has_value());
  EXPECT_TRUE(first.onMainQueue);
  EXPECT_TRUE(VIDIsValidInstallationID(*first.id));
  EXPECT_EQ(readFile(file()), *first.id);
  EXPECT_EQ(changes_, 1);

  struct stat info {};
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(directory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);

  // A later launch: a new client over the same directory reads the same identifier back,
  // announces no change, and tightens a file mode loosened in between.
  ASSERT_EQ(::chmod(file().c_str(), 0644), 0);
  Result second = fetch(VIDAdodaradadivi::create(directory(), center_));
  ASSERT_TRUE(second.id.has_value());
  EXPECT_EQ(*second.id, *first.id);
  EXPECT_EQ(changes_, 1);
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory()), {}), 1);
}

TEST_F(VIDAdodaradadiviTest, InvalidStoredContentIsReplaced) {
  // Which texts are valid is settled by the identifier's own tests; these are the shapes a
  // damaged file takes.
  const std::string cases[] = {
      "",
      "abcdefghijklmnopqrstuv\n",  // valid text plus a newline
      std::string(4096, 'a'),      // oversized
  };
  for (const std::string& content : cases) {
    std::filesystem::create_directories(directory());
    writeFile(file(), content);
    changes_ = 0;
    Result result = fetch(VIDAdodaradadivi::create(directory(), center_));
    ASSERT_TRUE(result.id.has_value()) << content;
    EXPECT_TRUE(VIDIsValidInstallationID(*result.id));
    EXPECT_EQ(readFile(file()), *result.id);
    EXPECT_EQ(changes_, 1);
  }
}

TEST_F(VIDAdodaradadiviTest, SymbolicLinkIsReplacedNotFollowed) {
  std::filesystem::create_directories(directory());
  const std::string target = dir_.path() + "/elsewhere";
  writeFile(target, "abcdefghijklmnopqrstuv");
  std::filesystem::create_symlink(target, file());

  Result result = fetch(VIDAdodaradadivi::create(directory(), center_));
  ASSERT_TRUE(result.id.has_value());
  EXPECT_NE(*result.id, "abcdefghijklmnopqrstuv");
  EXPECT_FALSE(std::filesystem::is_symlink(file()));
  EXPECT_EQ(readFile(target), "abcdefghijklmnopqrstuv");
}

TEST_F(VIDAdodaradadiviTest, UnusableStorageFailsWithoutAnIdentifier) {
  // A regular file where the directory should be: nothing can be created below it.
  std::filesystem::create_directories(dir_.path() + "/Diroda");
  writeFile(directory(), "not a directory");
  auto client = VIDAdodaradadivi::create(directory(), center_);
  Result result = fetch(client);
  EXPECT_FALSE(result.id.has_value());
  ASSERT_TRUE(result.error.has_value());
  EXPECT_EQ(result.error->domain, kVIDErrorDomain);
  EXPECT_EQ(result.error->code, kVIDErrorStorage);
  EXPECT_TRUE(result.onMainQueue);
  EXPECT_EQ(changes_, 0);

  // Once the storage is usable again the same client recovers.
  std::filesystem::remove(directory());
  Result retry = fetch(client);
  ASSERT_TRUE(retry.id.has_value());
  EXPECT_EQ(readFile(file()), *retry.id);
}

TEST_F(VIDAdodaradadiviTest, ConcurrentFirstRequestsAgreeOnOneIdentifier) {
  // Several clients over one directory stand for several processes starting together; each gets
  // several requests at once.
  std::vector<std::shared_ptr<VIDAdodaradadivi>> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(VIDAdodaradadivi::create(directory(), center_));

  std::mutex mutex;
  std::set<std::string> ids;
  std::atomic<int> completions{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      clients[static_cast<size_t>(t) % clients.size()]->installationIDWithCompletion(
          [&](const auto& id, const auto&) {
            std::lock_guard<std::mutex> lock(mutex);
            if (id) ids.insert(*id);
            ++completions;
          });
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(testsupport::waitFor([&] { return completions == 8; }));
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(readFile(file()), *ids.begin());
  EXPECT_EQ(changes_, 1);
}

TEST_F(VIDAdodaradadiviTest, SharedClientLivesInTheDataDirectory) {
  testsupport::ScopedDataDirectory data;
  VIDAdodaradadivi::resetInstallations();
  auto shared = VIDAdodaradadivi::installations();
  EXPECT_EQ(shared->storageDirectory(), data.path() + "/Diroda/Installations");

  std::atomic<int> changes{0};
  auto& center = platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(ZORInstallationIDDidChangeNotification, shared.get(), nullptr,
                                  [&](const platform::Notification&) { ++changes; });
  Result result = fetch(shared);
  center.removeObserver(token);
  ASSERT_TRUE(result.id.has_value());
  EXPECT_EQ(readFile(data.path() + "/Diroda/Installations/installation_id"), *result.id);
  EXPECT_EQ(changes, 1);
  VIDAdodaradadivi::resetInstallations();
}

}  // namespace
