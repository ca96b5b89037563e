#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
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

Store openStore(const char* workerName) {
  setUpProcess();
  Store store;
  store.worker = platform::DispatchQueue::create(workerName);
  store.persisted = std::make_shared<APMPersistedConfig>(dataDirectory() + "/persisted.plist");
  store.database = openDatabase(store.persisted, store.worker);
  return store;
}

int64_t storeRawEventGroup(APMDatabase& database, const std::string& eventName, double now) {
  platform::Error error;
  if (!database.reset(&error)) fail("cannot reset the database: " + error.description);
  if (!database.storedConfig().updateRemoteConfig(*APMPBMeasurementConfig::initWithMessageInfo(), &error)) {
    fail("cannot store a configuration: " + error.description);
  }
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetInt32(*metadata, APMPBMeasurementBundle::kProtocolVersion, 1);
  APMNanoSetString(*metadata, APMPBMeasurementBundle::kAppId, std::string("com.example.app"));
  if (!database.rawEvents().insertIfNotExistsRawEventMetadata(*metadata, &error)) {
    fail("cannot store metadata: " + error.description);
  }
  const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
  for (double at : {now - 30, now - 20, now - 10}) {
    auto event = APMEvent::create("app", true, eventName, at, 0, APMParameters{{"level", APMValue(int64_t{3})}});
    if (!event || !database.rawEvents().insertRawEvent(*event, fingerprint, false, &error)) {
      fail("cannot store a raw event: " + error.description);
    }
  }
  return fingerprint;
}

void onWorkerOffMainThread(const std::shared_ptr<platform::DispatchQueue>& worker, const std::function<void()>& work) {
  std::thread([&] { worker->sync(work); }).join();
}

}  // namespace fuzzsupport
