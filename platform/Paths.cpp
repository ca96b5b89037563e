#include "platform/Paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace platform {

namespace {
// Never destroyed: the SDK's threads may read them until the process has ended.
std::mutex& hostDirectoryMutex() {
  static auto& mutex = *new std::mutex;
  return mutex;
}
std::string& hostDirectory() {
  static auto& directory = *new std::string;
  return directory;
}
// Guarded by hostDirectoryMutex; only ever added to.
std::vector<std::shared_ptr<const Paths::LeaveHandler>>& leaveHandlers() {
  static auto& handlers = *new std::vector<std::shared_ptr<const Paths::LeaveHandler>>;
  return handlers;
}
}  // namespace

std::string Paths::dataDirectory() {
  {
    std::lock_guard<std::mutex> lock(hostDirectoryMutex());
    if (!hostDirectory().empty()) return hostDirectory();
  }
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share";
  return {};
}

void Paths::setDataDirectory(const std::string& path) {
  const std::string previous = dataDirectory();
  std::vector<std::shared_ptr<const LeaveHandler>> handlers;
  {
    std::lock_guard<std::mutex> lock(hostDirectoryMutex());
    hostDirectory() = path;
    handlers = leaveHandlers();
  }
  if (previous.empty() || previous == dataDirectory()) return;
  for (const auto& handler : handlers) (*handler)(previous);
}

void Paths::addLeaveHandler(LeaveHandler handler) {
  std::lock_guard<std::mutex> lock(hostDirectoryMutex());
  leaveHandlers().push_back(std::make_shared<const LeaveHandler>(std::move(handler)));
}

bool Paths::createDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  // Created one level at a time so each new level gets mode 0700 (what the SDK keeps is the
  // user's own); levels that already exist keep their mode.
  std::filesystem::path partial;
  for (const auto& component : std::filesystem::path(path)) {
    partial /= component;
    if (partial.empty() || std::filesystem::exists(partial, ec)) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return std::filesystem::is_directory(path, ec);
}

std::string Paths::inDataDirectory(const std::string& relative) {
  std::string base = dataDirectory();
  if (base.empty()) return {};
  return base + "/" + relative;
}

}  // namespace platform
