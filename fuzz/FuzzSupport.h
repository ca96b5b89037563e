#pragma once
// What every fuzz target shares. Each process works in a data directory of its own (removed when
// it exits) under a fixed clock, so that an input gives the same run whatever ran before it in
// other processes; nothing a target does reaches the network.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Object.h"

class APMDatabase;
class APMPersistedConfig;
namespace platform {
class DispatchQueue;
}

namespace fuzzsupport {

// Sets the process up once: data directory, clock, quiet logs. Later calls do nothing.
void setUpProcess();
const std::string& dataDirectory();

inline platform::Data bytesOf(const uint8_t* data, size_t size) { return platform::Data(data, data + size); }

// Ends the process with the message when a reader answered something it must never answer; the
// sanitizers report memory errors and undefined behaviour on their own.
[[noreturn]] void fail(const std::string& what);

// Opens the measurement database of the data directory on the worker queue, which then runs every
// call on it; the process ends when it cannot be opened.
std::shared_ptr<APMDatabase> openDatabase(const std::shared_ptr<APMPersistedConfig>& persisted,
                                          const std::shared_ptr<platform::DispatchQueue>& worker);

// A worker, the data directory's persisted configuration and its measurement database, opened on
// that worker once the process is set up; the process ends when the database cannot be opened.
struct Store {
  std::shared_ptr<platform::DispatchQueue> worker;
  std::shared_ptr<APMPersistedConfig> persisted;
  std::shared_ptr<APMDatabase> database;
};
Store openStore(const char* workerName);

// On the database's worker: empties the database and fills it as a fresh store ready for bundling,
// with an empty configuration, one group's metadata (protocol 1, app com.example.app) and three raw
// events named eventName, 30, 20 and 10 seconds before now. Gives the metadata's fingerprint; the
// process ends when any of it cannot be stored.
int64_t storeRawEventGroup(APMDatabase& database, const std::string& eventName, double now);

// Runs work on the worker and waits for it, asked from a thread of its own as the engine's worker
// is asked: from the main thread, every reading of the stored configuration would be logged as
// misplaced.
void onWorkerOffMainThread(const std::shared_ptr<platform::DispatchQueue>& worker, const std::function<void()>& work);

}  // namespace fuzzsupport
