#pragma once
// The process's preference suites: one UserDefaults per file, found by suite name in the current
// data directory (a new data directory gives new instances), and what every suite shares: the
// background queue their writes wait on, the flush at exit and the diagnostics.
//
// On disk: <data directory>/Preferences/<suite>.plist; the standard defaults use the suite name
// "standard".

#include <functional>
#include <memory>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/UserDefaults.h"

namespace platform {

class UserDefaultsRegistry {
 public:
  static constexpr const char* kStandardSuiteName = "standard";

  // The application's standard defaults.
  static std::shared_ptr<UserDefaults> standard();
  // A named suite; an empty name, or the standard name, gives the standard defaults.
  static std::shared_ptr<UserDefaults> suite(const std::string& name);
  // The file that backs a suite in the current data directory.
  static std::string pathForSuite(const std::string& name);

  // Writes every suite with unwritten changes now, on the calling thread (an exit handler calls
  // it after the write queue has stopped; the process's exit writes them as well). As the delayed
  // write, it leaves alone a suite whose data directory has been removed since it was read.
  static void synchronizeAll();

  // Tests: writes what is pending, then forgets every cached instance, so the next access reads
  // the files again as a new process would.
  static void resetForTesting();
  // Tests: returns once the writes already handed to the background queue have run.
  static void waitForBackgroundWritesForTesting();

  // Receives a line for every file that could not be read or written (the default writes it to
  // stderr). nullptr restores the default.
  using DiagnosticHandler = std::function<void(const std::string& message)>;
  static void setDiagnosticHandler(DiagnosticHandler handler);

  // What a suite asks of the registry. A suite that schedules a write is flushed at exit from then
  // on, whether the registry made it or not (the persisted configuration makes its own).
  static void noteWriter(const UserDefaults* defaults, std::weak_ptr<UserDefaults> weak);
  static const std::shared_ptr<DispatchQueue>& writeQueue();
  static void report(const std::string& message);
};

}  // namespace platform
