#pragma once
// The application bundle: identity, versions, the Info.plist dictionary, resources and the store
// receipt. A desktop process has no bundle of its own, so every fact is set by the host (or by
// tests) and reads as empty until then. Thread-safe: readers get copies taken under one mutex.

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Object.h"

namespace platform {

class Bundle {
 public:
  // Info.plist keys behind the typed accessors.
  static constexpr const char* kIdentifierKey = "CFBundleIdentifier";
  static constexpr const char* kShortVersionKey = "CFBundleShortVersionString";
  static constexpr const char* kBuildVersionKey = "CFBundleVersion";
  static constexpr const char* kExecutableKey = "CFBundleExecutable";

  // The Info.plist dictionary. The typed setters below write into it, so the dictionary and the
  // accessors never disagree.
  static Dictionary infoDictionary();
  static void setInfoDictionary(Dictionary info);
  // Replaces the Info.plist dictionary with the one in the property-list file at path. False with
  // an error (and the dictionary unchanged) when the file is missing, corrupt or not a dictionary.
  static bool loadInfoPlist(const std::string& path, Error* error = nullptr);
  // The value of one Info.plist key; a null object when absent.
  static Object objectForInfoDictionaryKey(const std::string& key);
  // Sets (or, with a null object, removes) one Info.plist key.
  static void setInfoDictionaryValue(const std::string& key, Object value);

  // "CFBundleIdentifier"; "" when unset or not a string.
  static std::string bundleIdentifier();
  static void setBundleIdentifier(const std::string& identifier);
  // "CFBundleShortVersionString" (the marketing version); "" when unset or not a string.
  static std::string shortVersion();
  static void setShortVersion(const std::string& version);
  // "CFBundleVersion" (the build number); "" when unset or not a string.
  static std::string buildVersion();
  static void setBuildVersion(const std::string& version);

  // The directory that holds the bundle's resources; "" when unset.
  static std::string resourceDirectory();
  static void setResourceDirectory(const std::string& path);
  // The path of resource "<name>.<type>" (type may be empty, or already part of name) inside the
  // resource directory, when such a regular file exists. Names that would leave the directory
  // ("..", "/") find nothing.
  static std::optional<std::string> pathForResource(const std::string& name, const std::string& type = {});

  // Where the store receipt is expected; none by default. The file need not exist.
  static std::optional<std::string> appStoreReceiptPath();
  static void setAppStoreReceiptPath(std::optional<std::string> path);

  // Forgets every fact (tests).
  static void reset();
};

}  // namespace platform
