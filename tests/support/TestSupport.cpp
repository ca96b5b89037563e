#include "TestSupport.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "platform/DispatchQueue.h"
#include "platform/Paths.h"
#include "platform/UserDefaultsRegistry.h"

namespace testsupport {

namespace {

// Handed down to the processes a test process starts, which make theirs inside it.
constexpr const char* kProcessDirectoryVariable = "MEASUREMENT_TEST_PROCESS_DIRECTORY";

std::string makeTemporaryDirectory(const std::filesystem::path& parent) {
  std::string pattern = (parent / "measurement-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + parent.string());
  return pattern;
}

// Never destroyed: SDK threads may still ask for the data directory while the process exits.
std::string& processDirectory() {
  static auto& directory = *new std::string;
  return directory;
}

// A writer still at work inside (an SDK thread ending a test's work) can add a file while the
// folder is emptied, which then stays; another pass takes it.
void removeDirectory(const std::string& path) {
  std::error_code ec;
  for (int pass = 0; pass < 5; ++pass) {
    std::filesystem::remove_all(path, ec);
    if (!std::filesystem::exists(path, ec)) return;
  }
}

// Runs last of the exit's work. First what the SDK's own exit does, for the many tests that run
// its parts without it: every queue's thread ends (none may write into the directory while it is
// removed, or be cut off in the middle of a write, leaving its temporary file) and what the
// preferences hold is written. Where the SDK's exit ran, that was done already.
void endProcess() {
  platform::DispatchQueue::stopAll(1.0);
  platform::UserDefaultsRegistry::synchronizeAll();
  removeDirectory(processDirectory());
}

}  // namespace

void useProcessDataDirectory() {
  if (!processDirectory().empty()) return;
  std::filesystem::path parent = std::filesystem::temp_directory_path();
  std::error_code ec;
  if (const char* outer = std::getenv(kProcessDirectoryVariable);
      outer && *outer && std::filesystem::is_directory(outer, ec)) {
    parent = outer;
  }
  processDirectory() = makeTemporaryDirectory(parent);
  setenv(kProcessDirectoryVariable, processDirectory().c_str(), 1);
  // Registered before anything of the SDK registers its own exit work, so it runs after all of it.
  std::atexit(endProcess);
  platform::Paths::setDataDirectory(processDirectory());
}

const std::string& processDataDirectory() { return processDirectory(); }


// Inside the process's directory once there is one, so that what a test process cannot remove
// itself (it was killed, or SDK work wrote there again after the test) goes with that directory.
TempDir::TempDir()
    : path_(makeTemporaryDirectory(processDirectory().empty() ? std::filesystem::temp_directory_path()
                                                              : std::filesystem::path(processDirectory()))) {}

TempDir::~TempDir() { removeDirectory(path_); }

ScopedDataDirectory::ScopedDataDirectory() { platform::Paths::setDataDirectory(dir_.path()); }
// Leaving the test's directory writes what is pending there; dir_ is removed only after that.
ScopedDataDirectory::~ScopedDataDirectory() { platform::Paths::setDataDirectory(processDataDirectory()); }

ScopedFakeClock::ScopedFakeClock(double now) : clock_(std::make_shared<platform::FakeClock>(now)) {
  platform::installClock(clock_);
}
ScopedFakeClock::~ScopedFakeClock() { platform::installClock(nullptr); }

bool waitFor(const std::function<bool()>& done, double timeoutSeconds) {
  return platform::DispatchQueue::main()->runUntil(done, timeoutSeconds);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
  tzset();
}

ScopedEnvironment::~ScopedEnvironment() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
  tzset();
}

}  // namespace testsupport
