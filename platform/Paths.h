#pragma once
// The one data directory under which every file of the SDK lives.

#include <string>

namespace platform {

class Paths {
 public:
  // The data directory: the one set by the host, else $XDG_DATA_HOME, else ~/.local/share.
  static std::string dataDirectory();
  // Sets (or, with "", clears) the host's data directory. Tests point it at a fresh directory.
  static void setDataDirectory(const std::string& path);
  // Creates the directory and its parents (mode 0700 for the ones it creates); true when it exists.
  static bool createDirectories(const std::string& path);
  // dataDirectory() + "/" + relative.
  static std::string inDataDirectory(const std::string& relative);
};

}  // namespace platform
