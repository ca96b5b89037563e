#pragma once
// Shared test helpers.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace testsupport {

// A fresh temporary directory, removed (with its contents) on destruction. Made inside the process's
// data directory (below) once the process has one.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The data directory of a test process outside any ScopedDataDirectory, so that no SDK work of a
// test ever reaches the developer's home folder: a temporary directory of the process's own, made
// inside the one of the test process that started it (a helper process, a death test's child), so
// that what a killed child leaves goes with its parent's. It is removed as the process exits, after
// the SDK's own exit work, once no queue's thread runs on. The test main sets it before any test runs.
void useProcessDataDirectory();
// That directory; empty when the process never set one.
const std::string& processDataDirectory();

// Points the SDK's data directory at a fresh temporary directory for the test's lifetime, then back
// at the process's own: what the SDK still holds for the test's directory is written there as it is
// left, before it is removed, and later work lands in the process's directory.
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
