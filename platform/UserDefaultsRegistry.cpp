#include "platform/UserDefaultsRegistry.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Paths.h"

namespace platform {

namespace {

constexpr const char* kPreferencesDirectory = "Preferences";

// Lock order: an instance's mutex, then the registry's; never the other way round.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<UserDefaults>> byPath;
  // Every live instance that has scheduled a write, cached or made directly (the persisted
  // configuration makes its own), so the exit finds the changes still waiting for their write.
  std::map<const UserDefaults*, std::weak_ptr<UserDefaults>> writers;
  UserDefaultsRegistry::DiagnosticHandler diagnostics;
};

// Leaked on purpose: instances may be flushed from an exit handler after static destruction began.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::vector<std::shared_ptr<UserDefaults>> knownInstances() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  std::vector<std::shared_ptr<UserDefaults>> all;
  for (auto& [path, defaults] : registry().byPath) all.push_back(defaults);
  auto& writers = registry().writers;
  for (auto it = writers.begin(); it != writers.end();) {
    auto defaults = it->second.lock();
    if (!defaults) {
      it = writers.erase(it);
      continue;
    }
    all.push_back(std::move(defaults));
    ++it;
  }
  return all;
}

// A suite whose data directory is gone by now (a test's, one the host removed) writes nothing.
void flushAllAtExit() {
  for (auto& defaults : knownInstances()) defaults->flushPending();
}

// The data directory the process leaves may be removed as soon as it is left (a test's temporary
// directory): what its suites still hold is written now, or dropped where that directory is gone
// already, and the registry forgets them. Instances made outside the registry there are written too.
void leaveDataDirectory(const std::string& directory) {
  const std::string inside = directory.back() == '/' ? directory : directory + "/";
  std::vector<std::shared_ptr<UserDefaults>> leaving;
  for (auto& defaults : knownInstances()) {
    if (defaults->path().compare(0, inside.size(), inside) == 0) leaving.push_back(std::move(defaults));
  }
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto& byPath = registry().byPath;
    for (auto it = byPath.lower_bound(inside); it != byPath.end() && it->first.compare(0, inside.size(), inside) == 0;) {
      it = byPath.erase(it);
    }
  }
  for (auto& defaults : leaving) defaults->flushPending();
}

void registerExitFlush() {
  static std::once_flag exitHook;
  std::call_once(exitHook, [] {
    std::atexit(flushAllAtExit);
    Paths::addLeaveHandler(leaveDataDirectory);
  });
}

std::string fileNameForSuite(const std::string& name) {
  std::string file = name.empty() ? UserDefaultsRegistry::kStandardSuiteName : name;
  // A suite name is a name, never a path.
  for (char& c : file) {
    if (c == '/' || c == '\0') c = '_';
  }
  return file + ".plist";
}

std::string suitePath(const std::string& dataDirectory, const std::string& name) {
  if (dataDirectory.empty()) return {};
  return dataDirectory + "/" + kPreferencesDirectory + "/" + fileNameForSuite(name);
}

}  // namespace

std::string UserDefaultsRegistry::pathForSuite(const std::string& name) {
  return suitePath(Paths::dataDirectory(), name);
}

std::shared_ptr<UserDefaults> UserDefaultsRegistry::standard() { return suite(kStandardSuiteName); }

std::shared_ptr<UserDefaults> UserDefaultsRegistry::suite(const std::string& name) {
  registerExitFlush();
  std::string suiteName = name.empty() ? kStandardSuiteName : name;
  std::string base = Paths::dataDirectory();
  std::string path = suitePath(base, suiteName);
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& slot = registry().byPath[path.empty() ? "memory:" + suiteName : path];
  if (!slot) slot = std::make_shared<UserDefaults>(suiteName, path, base);
  return slot;
}

void UserDefaultsRegistry::synchronizeAll() { flushAllAtExit(); }

void UserDefaultsRegistry::resetForTesting() {
  writeQueue()->sync([] {});
  flushAllAtExit();
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().byPath.clear();
}

void UserDefaultsRegistry::waitForBackgroundWritesForTesting() { writeQueue()->sync([] {}); }

void UserDefaultsRegistry::setDiagnosticHandler(DiagnosticHandler handler) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().diagnostics = std::move(handler);
}

void UserDefaultsRegistry::noteWriter(const UserDefaults* defaults, std::weak_ptr<UserDefaults> weak) {
  registerExitFlush();
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().writers[defaults] = std::move(weak);
}

const std::shared_ptr<DispatchQueue>& UserDefaultsRegistry::writeQueue() {
  static auto* q = new std::shared_ptr<DispatchQueue>(DispatchQueue::create("platform.UserDefaults.write"));
  return *q;
}

void UserDefaultsRegistry::report(const std::string& message) {
  DiagnosticHandler handler;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    handler = registry().diagnostics;
  }
  if (handler) {
    handler(message);
  } else {
    std::fprintf(stderr, "UserDefaults: %s\n", message.c_str());
  }
}

}  // namespace platform
