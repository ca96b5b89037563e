#include "platform/Bundle.h"

#include <sys/stat.h>

#include <mutex>

#include "platform/PropertyList.h"

namespace platform {

namespace {

struct BundleState {
  Dictionary info;
  std::string resourceDirectory;
  std::optional<std::string> receiptPath;
};

std::mutex gMutex;

BundleState& state() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& s = *new BundleState;
  return s;
}

std::string stringForKey(const char* key) {
  std::lock_guard<std::mutex> lock(gMutex);
  const Object* value = find(state().info, key);
  if (!value || !value->isString()) return {};
  return value->stringValue();
}

bool isSafeResourceName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

Dictionary Bundle::infoDictionary() {
  std::lock_guard<std::mutex> lock(gMutex);
  return state().info;
}

void Bundle::setInfoDictionary(Dictionary info) {
  std::lock_guard<std::mutex> lock(gMutex);
  state().info = std::move(info);
}

bool Bundle::loadInfoPlist(const std::string& path, Error* error) {
  Error readError;
  Object contents = PropertyList::readFile(path, &readError);
  if (!readError.empty()) {
    setError(error, std::move(readError));
    return false;
  }
  const Dictionary* info = contents.asDictionary();
  if (!info) {
    setError(error, Error(PropertyList::kErrorDomain, contents.isNull() ? PropertyList::kErrorUnreadable
                                                                         : PropertyList::kErrorCorrupt,
                          contents.isNull() ? "no Info.plist at " + path : "Info.plist is not a dictionary: " + path));
    return false;
  }
  setInfoDictionary(*info);
  return true;
}

Object Bundle::objectForInfoDictionaryKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(gMutex);
  const Object* value = find(state().info, key);
  return value ? *value : Object();
}

void Bundle::setInfoDictionaryValue(const std::string& key, Object value) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (value.isNull()) {
    state().info.erase(key);
  } else {
    state().info[key] = std::move(value);
  }
}

std::string Bundle::bundleIdentifier() { return stringForKey(kIdentifierKey); }
void Bundle::setBundleIdentifier(const std::string& identifier) { setInfoDictionaryValue(kIdentifierKey, identifier); }
std::string Bundle::shortVersion() { return stringForKey(kShortVersionKey); }
void Bundle::setShortVersion(const std::string& version) { setInfoDictionaryValue(kShortVersionKey, version); }
std::string Bundle::buildVersion() { return stringForKey(kBuildVersionKey); }
void Bundle::setBuildVersion(const std::string& version) { setInfoDictionaryValue(kBuildVersionKey, version); }

std::string Bundle::resourceDirectory() {
  std::lock_guard<std::mutex> lock(gMutex);
  return state().resourceDirectory;
}

void Bundle::setResourceDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(gMutex);
  state().resourceDirectory = path;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) {
  std::string file = type.empty() ? name : name + "." + type;
  if (!isSafeResourceName(name) || !isSafeResourceName(file)) return std::nullopt;
  std::string directory = resourceDirectory();
  if (directory.empty()) return std::nullopt;
  std::string path = directory.back() == '/' ? directory + file : directory + "/" + file;
  if (!isRegularFile(path)) return std::nullopt;
  return path;
}

std::optional<std::string> Bundle::appStoreReceiptPath() {
  std::lock_guard<std::mutex> lock(gMutex);
  return state().receiptPath;
}

void Bundle::setAppStoreReceiptPath(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(gMutex);
  state().receiptPath = std::move(path);
}

void Bundle::reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  state() = BundleState{};
}

}  // namespace platform
