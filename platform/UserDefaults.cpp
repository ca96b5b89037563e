#include "platform/UserDefaults.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaultsRegistry.h"

namespace platform {

namespace {

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The deepest of directory and its parents that exists now; empty for a relative path none of
// whose folders exists.
std::string deepestExisting(std::string directory) {
  while (!directory.empty() && !isDirectory(directory)) directory = parentOf(directory);
  return directory;
}

// Makes the missing folders between anchor, which must still exist, and directory; never anchor
// itself, so once anchor is gone (even while this runs) nothing is made.
bool createBelow(const std::string& anchor, const std::string& directory) {
  if (!isDirectory(anchor)) return false;
  std::vector<std::string> missing;
  for (std::string level = directory; level != anchor && !isDirectory(level); level = parentOf(level)) {
    if (level.size() <= anchor.size()) return false;
    missing.push_back(level);
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (::mkdir(level->c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

UserDefaults::UserDefaults(std::string suiteName, std::string path, std::string home)
    : suiteName_(std::move(suiteName)),
      path_(std::move(path)),
      home_(home.empty() ? parentOf(path_) : std::move(home)) {}

void UserDefaults::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (path_.empty()) return;
  anchor_ = deepestExisting(home_);
  Error error;
  Object root = PropertyList::readFile(path_, &error);
  if (!error.empty()) {
    UserDefaultsRegistry::report("ignoring unreadable preferences (" + error.description + ")");
    return;
  }
  if (root.isNull()) return;
  if (!root.isDictionary()) {
    UserDefaultsRegistry::report("ignoring preferences that are not a dictionary: " + path_);
    return;
  }
  values_ = root.dictionaryValue();
}

Object UserDefaults::object(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  return it == values_.end() ? Object() : it->second;
}

std::optional<std::string> UserDefaults::string(const std::string& key) {
  Object value = object(key);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

std::optional<Object> UserDefaults::number(const std::string& key) {
  Object value = object(key);
  if (!value.isNumber()) return std::nullopt;
  return value;
}

std::optional<Array> UserDefaults::array(const std::string& key) {
  Object value = object(key);
  if (!value.isArray()) return std::nullopt;
  return value.arrayValue();
}

std::optional<Dictionary> UserDefaults::dictionary(const std::string& key) {
  Object value = object(key);
  if (!value.isDictionary()) return std::nullopt;
  return value.dictionaryValue();
}

std::optional<Data> UserDefaults::data(const std::string& key) {
  Object value = object(key);
  if (!value.isData()) return std::nullopt;
  return value.dataValue();
}

bool UserDefaults::boolValue(const std::string& key) {
  Object value = object(key);
  return (value.isNumber() || value.isString()) && value.boolValue();
}

int64_t UserDefaults::integer(const std::string& key) {
  Object value = object(key);
  return (value.isNumber() || value.isString()) ? value.integerValue() : 0;
}

double UserDefaults::doubleValue(const std::string& key) {
  Object value = object(key);
  if (value.isString()) return std::strtod(value.stringValue().c_str(), nullptr);
  return value.isNumber() ? value.doubleValue() : 0;
}

Dictionary UserDefaults::dictionaryRepresentation() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  return values_;
}

void UserDefaults::setObject(const std::string& key, const Object& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  if (value.isNull()) {
    if (values_.erase(key) == 0) return;
  } else {
    values_[key] = value;
  }
  markDirtyLocked();
}

void UserDefaults::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  if (values_.empty()) return;
  values_.clear();
  markDirtyLocked();
}

void UserDefaults::markDirtyLocked() {
  dirty_ = true;
  ++generation_;
  if (path_.empty() || writeScheduled_) return;
  writeScheduled_ = true;
  std::weak_ptr<UserDefaults> weak = weak_from_this();
  UserDefaultsRegistry::noteWriter(this, weak);
  UserDefaultsRegistry::writeQueue()->after(kWriteDelaySeconds, [weak, this] {
    auto self = weak.lock();
    if (!self) return;
    {
      // Cleared before the snapshot is taken: a change made after it schedules the next write.
      std::lock_guard<std::mutex> lock(mutex_);
      writeScheduled_ = false;
    }
    writeIfDirty(Write::Late);
  });
}

bool UserDefaults::writeIfDirty(Write write) {
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  Dictionary snapshot;
  uint64_t generation = 0;
  std::string anchor;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dirty_) return true;
    snapshot = values_;
    generation = generation_;
    anchor = anchor_;
  }
  if (path_.empty()) return false;
  const std::string folder = parentOf(path_);
  if (write == Write::Late) {
    // The directory the file was found in went away (a test finished, the host cleared its data):
    // nothing to write into, and making it again would bring back what its owner removed.
    if (!createBelow(anchor, folder)) return false;
  } else if (!Paths::createDirectories(folder)) {
    UserDefaultsRegistry::report("cannot create the preferences directory for " + path_);
    return false;
  }
  Error error;
  if (!PropertyList::writeFile(path_, Object(std::move(snapshot)), PropertyList::Format::Binary, &error)) {
    UserDefaultsRegistry::report("cannot save preferences (" + error.description + ")");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++writeCount_;
  if (generation_ == generation) dirty_ = false;
  return true;
}

uint64_t UserDefaults::writeCountForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeCount_;
}

bool UserDefaults::synchronize() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loadLocked();
  }
  return writeIfDirty(Write::Now);
}

bool UserDefaults::flushPending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loadLocked();
  }
  return writeIfDirty(Write::Late);
}

}  // namespace platform
