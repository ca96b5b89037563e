#pragma once
// Persisted preferences: the values of one suite (the standard defaults or a named suite), kept in
// one file; UserDefaultsRegistry hands out the process's suites, one instance per file.
//
// On disk: a binary property list holding one dictionary. A torn or corrupt file reads as empty (and
// is reported), never crashes; the next write replaces it.
//
// The file is loaded lazily on first use and cached in memory. Every access is thread-safe (one
// mutex per instance); reads answer from memory, so they see a change at once, written or not.
//
// Writes: each replaces the whole file atomically (temporary file, fsync, rename), so a process
// that dies in the middle of one leaves the previous file whole. The first change after the file
// matched memory schedules one write kWriteDelaySeconds later (of the installed clock's uptime)
// on a private background queue; the changes made meanwhile join it, so a burst of changes costs
// one fsync instead of one each. synchronize() writes at once, and so does the process's exit.
//
// The writes nobody waits for, the delayed one and the exit's, go only into the directory the
// instance found when it first read its file: the deepest existing folder on the way from its home
// (the data directory for the registry's suites, else the file's own folder) to the root. Once that
// folder has been removed (a test's temporary directory, a host clearing its data), they write
// nothing rather than make it again; synchronize() still writes wherever it must.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Object.h"

namespace platform {

class UserDefaults : public std::enable_shared_from_this<UserDefaults> {
 public:
  // How long a change waits for others to share its write.
  static constexpr double kWriteDelaySeconds = 1.0;

  const std::string& suiteName() const { return suiteName_; }
  const std::string& path() const { return path_; }

  // Getters. object() gives null when absent; the typed forms give nullopt (or false / 0) when
  // the key is absent or holds another kind.
  Object object(const std::string& key);
  std::optional<std::string> string(const std::string& key);
  // Booleans count as numbers, as the platform's number objects do.
  std::optional<Object> number(const std::string& key);
  std::optional<Array> array(const std::string& key);
  std::optional<Dictionary> dictionary(const std::string& key);
  std::optional<Data> data(const std::string& key);
  // Numbers and numeric strings ("YES"/"true" for booleans) convert; anything else gives false / 0.
  bool boolValue(const std::string& key);
  int64_t integer(const std::string& key);
  double doubleValue(const std::string& key);
  // Every key and value.
  Dictionary dictionaryRepresentation();

  // Setters. Setting a null object removes the key.
  void setObject(const std::string& key, const Object& value);
  void setBool(const std::string& key, bool value) { setObject(key, Object(value)); }
  void setInteger(const std::string& key, int64_t value) { setObject(key, Object(static_cast<long long>(value))); }
  void setDouble(const std::string& key, double value) { setObject(key, Object(value)); }
  void removeObject(const std::string& key) { setObject(key, Object()); }
  // Removes every key of this suite.
  void clear();

  // Writes pending changes now; true when the file holds what memory holds.
  bool synchronize();
  // Writes pending changes now as a write nobody waits for does (at exit, on leaving the data
  // directory): nothing once the directory the file was found in is gone. True when the file holds
  // what memory holds.
  bool flushPending();

  // Tests: how many times this instance has replaced its file.
  uint64_t writeCountForTesting();

  // home: the directory the file belongs to; empty means the file's own folder.
  UserDefaults(std::string suiteName, std::string path, std::string home = {});
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

 private:
  enum class Write { Now, Late };

  void loadLocked();
  void markDirtyLocked();
  bool writeIfDirty(Write write);

  const std::string suiteName_;
  const std::string path_;
  const std::string home_;
  std::string anchor_;  // set by the first read: home_, or its deepest parent that existed then
  std::mutex mutex_;  // guards everything below
  bool loaded_ = false;
  bool dirty_ = false;
  bool writeScheduled_ = false;
  uint64_t generation_ = 0;  // bumped by every change, so a write knows whether it caught up
  uint64_t writeCount_ = 0;
  Dictionary values_;
  std::mutex writeMutex_;  // serialises file writes of this instance
};

}  // namespace platform
