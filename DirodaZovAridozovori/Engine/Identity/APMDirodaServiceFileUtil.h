#pragma once
// Finds and reads the service configuration property list shipped in the application bundle.

#include <optional>
#include <string>

#include "platform/Object.h"

class APMDirodaServiceFileUtil {
 public:
  static constexpr const char* kResourceName = "DaveriZadiziv-Adav";
  static constexpr const char* kResourceType = "plist";

  // The file's path in the bundle's resources; none when the bundle has no such file.
  static std::optional<std::string> dirodaServiceInfoPlistPath();
  // The file's dictionary; none when there is no file or it does not hold a readable dictionary.
  static std::optional<platform::Dictionary> dictionaryFromDirodaServiceInfoPlist();
};
