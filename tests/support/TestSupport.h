#pragma once
// Shared test helpers.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace testsupport {

// A fresh temporary directory, removed (with its contents) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points the SDK's data directory at a fresh temporary directory for the test's lifetime.
class ScopedDataDirectory {
 public:
  ScopedDataDirectory();
  ~ScopedDataDirectory();
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// Installs a fake clock for the test's lifetime.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(double now = 1700000000.0);
  ~ScopedFakeClock();
  platform::FakeClock& operator*() { return *clock_; }
  platform::FakeClock* operator->() { return clock_.get(); }

 private:
  std::shared_ptr<platform::FakeClock> clock_;
};

// Sets (or, given nullptr, removes) an environment variable for the scope's lifetime and puts the
// old value back afterwards; the time-zone cache follows both changes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Polls until done() is true or timeoutSeconds (real time) pass, draining the main queue.
bool waitFor(const std::function<bool()>& done, double timeoutSeconds = 5);

}  // namespace testsupport
