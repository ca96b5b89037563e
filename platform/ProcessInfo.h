#pragma once
// Facts about the running process and machine. Launch arguments are set by the host (the
// platform has no argv of its own to give us); tests set them too.

#include <string>
#include <vector>

namespace platform {

class ProcessInfo {
 public:
  // The launch arguments, argv[0] first. Empty until the host sets them.
  static std::vector<std::string> arguments();
  static void setArguments(std::vector<std::string> arguments);
  static bool hasArgument(const std::string& argument);

  // The OS version ("6.1.0" from the kernel release, "major.minor.patch").
  static std::string operatingSystemVersion();
  // The machine model ("x86_64", from uname), or "" when it cannot be read.
  static std::string deviceModel();
  // Preferred languages as BCP-47 tags, most preferred first (from $LANGUAGE / $LC_ALL / $LANG).
  static std::vector<std::string> preferredLanguages();
  static int processIdentifier();
};

}  // namespace platform
