#pragma once
// The one data directory under which every file of the SDK lives.

#include <functional>
#include <string>

namespace platform {

class Paths {
 public:
  // The data directory: the one set by the host, else $XDG_DATA_HOME, else ~/.local/share.
  static std::string dataDirectory();
  // Sets (or, with "", clears) the host's data directory. Tests point it at a fresh directory.
  // When that changes the data directory, the handlers hear of the one left, before this returns:
  // whatever still has writes pending there finishes them while the directory stands.
  static void setDataDirectory(const std::string& path);
  using LeaveHandler = std::function<void(const std::string& previous)>;
  static void addLeaveHandler(LeaveHandler handler);
  // Creates the directory and its parents (mode 0700 for the ones it creates); true when it exists.
  static bool createDirectories(const std::string& path);
  // dataDirectory() + "/" + relative.
  static std::string inDataDirectory(const std::string& relative);
};

}  // namespace platform
