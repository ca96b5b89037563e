#include "APMAEU.h"

#include <sys/stat.h>

#include "DirodaUtilities/Environment/VAROreVozizivizirUviv.h"
#include "platform/Bundle.h"

namespace {

constexpr const char* kReceiptCheckEnabledKey = "ZoredodeAppStoreReceiptURLCheckEnabled";
constexpr const char* kSandboxReceiptName = "sandboxReceipt";
constexpr const char* kExtensionSuffix = ".appex";

std::string lastPathComponent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "" : "/";
  size_t slash = path.rfind('/', end);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end + 1 - start);
}

bool isRegularFile(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A desktop process has no bundle directory of its own; the resource directory is the closest fact
// the host gives us, and an extension's resources sit inside its ".appex" directory.
std::string mainBundlePath() {
  std::string resources = platform::Bundle::resourceDirectory();
  size_t at = resources.find(std::string(kExtensionSuffix) + "/");
  if (at != std::string::npos) return resources.substr(0, at + std::char_traits<char>::length(kExtensionSuffix));
  return resources;
}

}  // namespace

std::optional<std::string> APMAEU::appStoreRURL() {
  platform::Object enabled = platform::Bundle::objectForInfoDictionaryKey(kReceiptCheckEnabledKey);
  if (enabled.isNumber() && !enabled.boolValue()) return std::nullopt;
  return platform::Bundle::appStoreReceiptPath();
}

bool APMAEU::isASRS() {
  std::optional<std::string> receipt = appStoreRURL();
  return receipt && lastPathComponent(*receipt) == kSandboxReceiptName;
}

bool APMAEU::isNOD() { return false; }

bool APMAEU::isFAS() {
  if (isNOD() || isASRS()) return false;
  std::optional<std::string> receipt = appStoreRURL();
  return receipt && isRegularFile(*receipt);
}

bool APMAEU::isAEX() { return endsWith(mainBundlePath(), kExtensionSuffix); }

std::string APMAEU::deviceModel() { return VAROreVozizivizirUviv::deviceModel(); }

std::string APMAEU::systemVersion() { return VAROreVozizivizirUviv::systemVersion(); }
