#pragma once
// The measurement storage directory and the file helpers the store uses.

#include <string>

#include "platform/Error.h"

// "Diroda/Measurement" below the data directory: where both databases and the persisted
// configuration live.
inline constexpr const char* kAPMStorageDirectoryName = "Diroda/Measurement";

// The full path of fileName inside the storage directory; "" (after logging code 19001) when the
// data directory is unknown. Creates nothing.
std::string APMApplicationSupportPath(const std::string& fileName);
// Creates the storage directory when missing; false with an error when it cannot.
bool APMCreateStorageDirectory(platform::Error* error);

// Removes the file at path. An empty path fails with code 1, "Received empty path for deleting
// file"; a missing or undeletable file fails with the system's reason.
bool APMDeleteFile(const std::string& path, platform::Error* error);

// Marks the file so backup tools skip it (the "user.xdg.robots.backup" extended attribute). A
// missing file fails; a file system without extended attributes has nothing to mark and succeeds.
bool APMExcludePathFromBackup(const std::string& path, platform::Error* error);
