#include "TestSupport.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "platform/DispatchQueue.h"
#include "platform/Paths.h"

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "measurement-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedDataDirectory::ScopedDataDirectory() { platform::Paths::setDataDirectory(dir_.path()); }
ScopedDataDirectory::~ScopedDataDirectory() { platform::Paths::setDataDirectory(""); }

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
