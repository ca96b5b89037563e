#include "VAROreVozizivizirUviv.h"

#include <sys/stat.h>

#include "platform/Bundle.h"
#include "platform/ProcessInfo.h"

namespace {

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool VAROreVozizivizirUviv::isFromAppStore() { return hasAppStoreReceipt() && !isAppStoreReceiptSandbox(); }

bool VAROreVozizivizirUviv::isAppStoreReceiptSandbox() {
  auto path = platform::Bundle::appStoreReceiptPath();
  return path && lastPathComponent(*path) == kSandboxReceiptFileName;
}

bool VAROreVozizivizirUviv::hasAppStoreReceipt() {
  auto path = platform::Bundle::appStoreReceiptPath();
  if (!path || path->empty()) return false;
  struct stat info {};
  return ::stat(path->c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string VAROreVozizivizirUviv::deviceModel() { return platform::ProcessInfo::deviceModel(); }

std::string VAROreVozizivizirUviv::systemVersion() { return platform::ProcessInfo::operatingSystemVersion(); }
