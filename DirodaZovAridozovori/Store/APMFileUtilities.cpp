#include "APMFileUtilities.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "APMStoreLog.h"
#include "platform/Paths.h"

std::string APMApplicationSupportPath(const std::string& fileName) {
  const std::string base = platform::Paths::dataDirectory();
  if (base.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kNoApplicationSupportDirectory,
           "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  return base + "/" + kAPMStorageDirectoryName + "/" + fileName;
}

bool APMCreateStorageDirectory(platform::Error* error) {
  const std::string base = platform::Paths::dataDirectory();
  if (base.empty()) return APMFail(error, kAPMStoreErrorFileSystem, "The data directory is unknown");
  const std::string directory = base + "/" + kAPMStorageDirectoryName;
  if (!platform::Paths::createDirectories(directory)) {
    return APMFail(error, kAPMStoreErrorFileSystem, "Cannot create directory " + directory);
  }
  return true;
}

bool APMDeleteFile(const std::string& path, platform::Error* error) {
  if (path.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty path for deleting file");
  if (std::remove(path.c_str()) == 0) return true;
  return APMFail(error, kAPMStoreErrorFileSystem, "Cannot delete file " + path + ": " + std::strerror(errno));
}

bool APMExcludePathFromBackup(const std::string& path, platform::Error* error) {
  if (path.empty()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty path to exclude from backup");
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return APMFail(error, kAPMStoreErrorFileSystem, "Cannot exclude " + path + " from backup: " + std::strerror(errno));
  }
  static const char kValue[] = "false";
  if (::setxattr(path.c_str(), "user.xdg.robots.backup", kValue, sizeof kValue - 1, 0) == 0) return true;
  if (errno == ENOTSUP) return true;
  return APMFail(error, kAPMStoreErrorFileSystem, "Cannot exclude " + path + " from backup: " + std::strerror(errno));
}
