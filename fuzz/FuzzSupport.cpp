#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "APMDatabase.h"
#include "APMMonitor.h"
#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace fuzzsupport {

namespace {

std::string& directory() {
  static auto* path = new std::string;
  return *path;
}

// As the SDK's own exit handler does for a host: no SDK thread may still run (logging, writing
// preferences) while static objects are destroyed or the directory goes away.
void endProcess() {
  platform::DispatchQueue::stopAll(1.0);
  std::error_code ignored;
  if (!directory().empty()) std::filesystem::remove_all(directory(), ignored);
}

}  // namespace

void setUpProcess() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/measurement-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) fail("cannot create a data directory under " + pattern);
    directory() = pattern;
    std::atexit(endProcess);
    platform::Paths::setDataDirectory(directory());
    platform::installClock(std::make_shared<platform::FakeClock>(1700000000.0, 1000.0));
    // Damaged preference files are expected here; saying so for every input only slows the run.
    platform::UserDefaultsRegistry::setDiagnosticHandler([](const std::string&) {});
    APMMonitor::shared()->setLogLevel(APMLogLevel::kError);
  });
}

const std::string& dataDirectory() { return directory(); }

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz target: %s\n", what.c_str());
  std::abort();
}

std::shared_ptr<APMDatabase> openDatabase(const std::shared_ptr<APMPersistedConfig>& persisted,
                                          const std::shared_ptr<platform::DispatchQueue>& worker) {
  std::shared_ptr<APMDatabase> database;
  worker->sync([&] {
    platform::Error error;
    database = APMDatabase::create(APMDatabase::kDatabaseName, persisted, worker, &error);
    if (!database) fail("cannot open the database: " + error.description);
  });
  return database;
}

}  // namespace fuzzsupport
