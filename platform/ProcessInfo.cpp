#include "platform/ProcessInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace platform {

namespace {
// Never destroyed: the SDK's threads may read them until the process has ended.
std::mutex& argumentsMutex() {
  static auto& mutex = *new std::mutex;
  return mutex;
}
std::vector<std::string>& storedArguments() {
  static auto& arguments = *new std::vector<std::string>;
  return arguments;
}

// "en_US.UTF-8" → "en-US"; "C"/"POSIX" → "".
std::string localeToTag(std::string locale) {
  auto cut = locale.find_first_of(".@");
  if (cut != std::string::npos) locale.resize(cut);
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::replace(locale.begin(), locale.end(), '_', '-');
  return locale;
}
}  // namespace

std::vector<std::string> ProcessInfo::arguments() {
  std::lock_guard<std::mutex> lock(argumentsMutex());
  return storedArguments();
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> lock(argumentsMutex());
  storedArguments() = std::move(arguments);
}

bool ProcessInfo::hasArgument(const std::string& argument) {
  std::lock_guard<std::mutex> lock(argumentsMutex());
  const auto& arguments = storedArguments();
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

std::string ProcessInfo::operatingSystemVersion() {
  utsname info{};
  if (uname(&info) != 0) return {};
  std::string release = info.release;
  // Keep the leading "a.b.c" numbers of e.g. "6.1.0-18-amd64".
  size_t end = 0;
  int dots = 0;
  while (end < release.size() && (std::isdigit(static_cast<unsigned char>(release[end])) ||
                                  (release[end] == '.' && dots < 2))) {
    if (release[end] == '.') ++dots;
    ++end;
  }
  return release.substr(0, end);
}

std::string ProcessInfo::deviceModel() {
  utsname info{};
  if (uname(&info) != 0) return {};
  return info.machine;
}

std::vector<std::string> ProcessInfo::preferredLanguages() {
  std::vector<std::string> result;
  if (const char* list = std::getenv("LANGUAGE"); list && *list) {
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ':')) {
      if (auto tag = localeToTag(item); !tag.empty()) result.push_back(tag);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(name); value && *value) {
      if (auto tag = localeToTag(value); !tag.empty()) result.push_back(tag);
      break;
    }
  }
  if (result.empty()) result.push_back("en-US");
  return result;
}

int ProcessInfo::processIdentifier() { return static_cast<int>(getpid()); }

}  // namespace platform
