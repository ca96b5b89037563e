#pragma once
// What every fuzz target shares. Each process works in a data directory of its own (removed when
// it exits) under a fixed clock, so that an input gives the same run whatever ran before it in
// other processes; nothing a target does reaches the network.

#include <cstddef>
#include <cstdint>
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

}  // namespace fuzzsupport
